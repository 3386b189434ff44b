#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "output_target.h"

namespace kqtool {

// An output file for long unattended runs: appended to, and once it would pass `maxBytes` (0: never)
// renamed to FILE.1 (FILE.1 to FILE.2 and so on, keeping `keep` old files; 0 keeps none) and started
// afresh. Files are cut between lines only; a line longer than the limit gets a file of its own.
class RotatingFile : public OutputTarget {
 public:
  // Raises std::runtime_error when the file cannot be opened.
  RotatingFile(const std::string& utf8Path, std::uint64_t maxBytes, int keep);

  bool Write(std::string_view bytes) override;
  bool IsTerminal() const override { return false; }

  // FILE.n for n > 0, FILE for 0.
  std::filesystem::path PathOf(int generation) const;

 private:
  void Open();
  bool Rotate();
  bool WriteRaw(std::string_view bytes);

  std::filesystem::path FPath;
  std::uint64_t FMaxBytes;
  int FKeep;
  std::ofstream FFile;
  std::uint64_t FSize = 0;
};

}  // namespace kqtool
