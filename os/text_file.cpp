#include "text_file.h"

namespace kq {

namespace {
// Enough to make the writes few without holding much in memory.
constexpr std::size_t FlushThreshold = 64 * 1024;
}  // namespace

// A destructor has no one to report a failed flush to; a caller that cares closes first.
TextFile::~TextFile() { static_cast<void>(Close()); }

int TextFile::OpenAppend(std::u16string_view path) { return OpenFile(path, true); }

int TextFile::Create(std::u16string_view path) { return OpenFile(path, false); }

int TextFile::WriteLine(std::u16string_view line) {
  if (!IsOpen()) return FError;
  if (FError != 0) return FError;
  Encode(line);
  FPending.append("\r\n");
  if (FPending.size() >= FlushThreshold) return Flush();
  return 0;
}

int TextFile::ResetWith(int error) noexcept {
  FFile.Reset();
  return error;
}

int TextFile::Flush() noexcept {
  if (FError == 0 && !FPending.empty()) FError = WriteAll(FFile.Get(), FPending);
  FPending.clear();
  return FError;
}

int TextFile::Close() {
  if (!IsOpen()) return 0;
  int error = Flush();
  int closeError = FileTraits::Close(FFile.Release());
  FPending.clear();
  FPending.shrink_to_fit();
  FError = 0;
  return error != 0 ? error : closeError;
}

}  // namespace kq
