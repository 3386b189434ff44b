#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

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

// The codes our own checks return: a file that is not regular, and one that is not ours.
constexpr int NotRegularCode = EINVAL;
constexpr int OtherOwnerCode = EPERM;

}  // namespace

int TextFile::FileTraits::Close(std::intptr_t file) noexcept {
  return ::close(static_cast<int>(file)) == 0 ? 0 : errno;
}

int TextFile::OpenFile(std::u16string_view path, bool append) {
  static_cast<void>(Close());  // an earlier file's failure is not this open's
  if (path.empty()) return ENOENT;
  if (path.size() > MaxPathLength) return ENAMETOOLONG;
  std::string native = Utf16ToUtf8(path);
  // Never through a symbolic link, and without blocking on a FIFO or device that is refused below.
  // No O_TRUNC: a file is cut only once it is known to be ours. The Ctrl+Z cut reads the tail.
  int flags = O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (append ? O_RDWR | O_APPEND : O_WRONLY);
  int fd = ::open(native.c_str(), flags, 0600);
  if (fd < 0) {
    const int error = errno;
    // Some kernels answer a link in a sticky folder with EACCES before O_NOFOLLOW is looked at.
    struct stat st {};
    if (error != ELOOP && lstat(native.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return ELOOP;
    return error;
  }
  FFile.Reset(fd);
  struct stat st {};
  if (fstat(fd, &st) != 0) return ResetWith(errno);
  if (!S_ISREG(st.st_mode)) return ResetWith(NotRegularCode);
  if (st.st_uid != geteuid()) return ResetWith(OtherOwnerCode);
  if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) return ResetWith(errno);
  if (!append && ftruncate(fd, 0) != 0) return ResetWith(errno);
  if (append) {
    if (int error = CutAtCtrlZ(fd); error != 0) return ResetWith(error);
  }
  FError = 0;
  return 0;
}

FileRefusal TextFile::RefusalOf(int error) noexcept {
  switch (error) {
    case ELOOP:
      return FileRefusal::Link;
    case NotRegularCode:
    case EISDIR:
    case ENXIO:  // a FIFO without a reader, or a device
      return FileRefusal::NotRegular;
    case OtherOwnerCode:
      return FileRefusal::OtherOwner;
    default:
      return FileRefusal::None;
  }
}

FileRefusal TextFile::Inspect(std::u16string_view path) noexcept {
  try {
    struct stat st {};
    if (path.empty() || lstat(Utf16ToUtf8(path).c_str(), &st) != 0) return FileRefusal::None;
    if (S_ISLNK(st.st_mode)) return FileRefusal::Link;
    if (!S_ISREG(st.st_mode)) return FileRefusal::NotRegular;
    if (st.st_uid != geteuid()) return FileRefusal::OtherOwner;
  } catch (const std::bad_alloc&) {
  }
  return FileRefusal::None;
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
