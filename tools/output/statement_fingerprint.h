#pragma once

#include <string>
#include <string_view>

namespace kqtool {

// The shape of a statement, which statements that differ only in their values share: string and
// numeric literals become "?", an IN list of literals or placeholders becomes "IN (?+)", comments go,
// and runs of white space become one blank (none at either end).
class StatementFingerprint {
 public:
  // The fingerprint; valid until the next call (the scratch space is reused).
  std::u16string_view Of(std::u16string_view text);

 private:
  void AppendSpaceIfNeeded();

  std::u16string FOut;
  bool FPendingSpace = false;
};

}  // namespace kqtool
