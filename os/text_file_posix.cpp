#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "text.h"
#include "text_file.h"

namespace kq {

namespace {

constexpr char CtrlZ = 26;
constexpr off_t CtrlZWindow = 128;

// Cuts an existing file at the first Ctrl+Z among its last 128 bytes; 0 or errno.
int CutAtCtrlZ(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return errno;
  off_t tail = st.st_size < CtrlZWindow ? st.st_size : CtrlZWindow;
  if (tail == 0) return 0;
  char bytes[CtrlZWindow];
  ssize_t got = pread(fd, bytes, static_cast<std::size_t>(tail), st.st_size - tail);
  if (got < 0) return errno;
  const void* hit = std::memchr(bytes, CtrlZ, static_cast<std::size_t>(got));
  if (!hit) return 0;
  off_t at = st.st_size - tail + (static_cast<const char*>(hit) - bytes);
  return ftruncate(fd, at) == 0 ? 0 : errno;
}

}  // namespace

int TextFile::FileTraits::Close(std::intptr_t file) noexcept {
  return ::close(static_cast<int>(file)) == 0 ? 0 : errno;
}

int TextFile::OpenFile(std::u16string_view path, bool append) {
  Close();
  if (path.empty()) return ENOENT;
  if (path.size() > MaxPathLength) return ENAMETOOLONG;
  std::string native = Utf16ToUtf8(path);
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
  if (append) flags = (flags & ~O_WRONLY) | O_RDWR;  // the Ctrl+Z cut reads the tail
  int fd = ::open(native.c_str(), flags, 0666);
  if (fd < 0) return errno;
  FFile.Reset(fd);
  if (append) {
    if (int error = CutAtCtrlZ(fd); error != 0) {
      FFile.Reset();
      return error;
    }
  }
  FError = 0;
  return 0;
}

int TextFile::WriteAll(std::intptr_t file, const std::string& bytes) noexcept {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(static_cast<int>(file), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

void TextFile::Encode(std::u16string_view line) { FPending += Utf16ToUtf8(line); }

}  // namespace kq
