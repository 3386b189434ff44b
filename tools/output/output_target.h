#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace kqtool {

// Where a batch of formatted output goes: standard output or a file. One Write per batch.
class OutputTarget {
 public:
  virtual ~OutputTarget() = default;
  // False once the target cannot take more (a closed pipe, a full disk): the caller stops.
  virtual bool Write(std::string_view bytes) = 0;
  // True for an interactive terminal, where colours and redraws make sense.
  virtual bool IsTerminal() const = 0;
};

// Standard output through the C library's stream, so that the tools' other prints stay in order.
class StandardOutput : public OutputTarget {
 public:
  bool Write(std::string_view bytes) override;
  bool IsTerminal() const override;
};

std::unique_ptr<OutputTarget> MakeStandardOutput();

}  // namespace kqtool
