#include "named_object_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kq_error.h"
#include "kqconsts.h"
#include "text.h"

namespace kq {

namespace {

const char* Suffix(NamedObjectKind kind) {
  switch (kind) {
    case NamedObjectKind::Section:
      return ".shm";
    case NamedObjectKind::Event:
      return ".event";
    case NamedObjectKind::Mutex:
      return ".mutex";
    case NamedObjectKind::Liveness:
      return ".live";
  }
  return "";
}

std::size_t RoundToPages(std::size_t size) { return (size + 4095) / 4096 * 4096; }

bool ValidName(std::u16string_view name) {
  if (name.empty()) return false;
  for (char16_t c : name)
    if (c == u'/' || c == 0) return false;
  return true;
}

bool SameFile(int fd, const std::string& path) {
  struct stat byFd {
  }, byPath{};
  return fstat(fd, &byFd) == 0 && lstat(path.c_str(), &byPath) == 0 && byFd.st_dev == byPath.st_dev &&
         byFd.st_ino == byPath.st_ino;
}

int Flock(int fd, int op) {
  int r;
  while ((r = flock(fd, op)) == -1 && errno == EINTR) {
  }
  return r;
}

// Prepares a new object in a temporary file and publishes it under `path`. Returns 0 with `out` set,
// EEXIST when another process published first, or the error.
int CreateFresh(const std::string& dir, const std::string& path, std::size_t fileSize, NamedObject::InitFn init,
                void* context, UniqueFd& out) {
  std::string temp = dir + "/.new-XXXXXX";
  UniqueFd fd(mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return errno;
  int error = 0;
  if (ftruncate(fd.Get(), static_cast<off_t>(fileSize)) != 0) {
    error = errno;
  } else if (init) {
    void* address = mmap(nullptr, fileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0);
    if (address == MAP_FAILED) {
      error = errno;
    } else {
      UniqueMapping memory(Mapping{address, fileSize});
      init(address, context);
    }
  }
  if (error == 0 && Flock(fd.Get(), LOCK_SH) != 0) error = errno;
  if (error == 0 && link(temp.c_str(), path.c_str()) != 0) error = errno;
  unlink(temp.c_str());
  if (error == 0) out = std::move(fd);
  return error;
}

// Another user must never read or plant traced statements in the directory.
bool PrivateDirectory(const struct stat& st) {
  return S_ISDIR(st.st_mode) && st.st_uid == getuid() && (st.st_mode & 07777) == 0700;
}

// The directory's lifetime: whoever opens or creates an object in it holds a shared flock on the
// directory itself meanwhile, and the last holder of the last object removes it only under an
// exclusive one. An opener that gets its lock on a directory removed just before retries with a new
// one (`removed`); while it holds the lock, no process of ours removes the directory and no other
// user can (in the sticky /dev/shm), so the path keeps naming the directory that it checked.
UniqueFd HoldDirectory(const std::string& dir, bool& removed, int& error) {
  removed = false;
  UniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    error = errno;
    removed = error == ENOENT;
    return fd;
  }
  struct stat st {};
  if (Flock(fd.Get(), LOCK_SH) != 0 || fstat(fd.Get(), &st) != 0) {
    error = errno;
    return UniqueFd();
  }
  if (st.st_nlink == 0) {
    removed = true;
    return UniqueFd();
  }
  if (!PrivateDirectory(st)) {
    error = EACCES;
    return UniqueFd();
  }
  return fd;
}

void RemoveDirectoryIfEmpty(const std::string& dir) {
  UniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  // Fails while it holds objects (ENOTEMPTY) or while someone is opening one (the lock).
  if (fd && Flock(fd.Get(), LOCK_EX | LOCK_NB) == 0) rmdir(dir.c_str());
}

std::string DirectoryOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

// The per-user directory's path for the current namespace; empty with EINVAL for a namespace with "/".
std::string DirectoryPath(int& error) {
  std::string dir = "/dev/shm/kq-" + std::to_string(getuid());
  const char* ns = std::getenv("KQ_NAMESPACE");
  if (ns && *ns) {
    if (std::strchr(ns, '/')) {
      error = EINVAL;
      return {};
    }
    dir += "-";
    dir += ns;
  }
  return dir;
}

}  // namespace

std::string NamedObject::Directory(int& error) {
  std::string dir = DirectoryPath(error);
  if (dir.empty()) return {};
  if (mkdir(dir.c_str(), 0700) == 0) {
    chmod(dir.c_str(), 0700);  // whatever the umask
  } else if (errno != EEXIST) {
    error = errno;
    return {};
  }
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0) {
    error = errno;
    return {};
  }
  // Another user must never read or plant traced statements here.
  if (!PrivateDirectory(st)) {
    error = EACCES;
    return {};
  }
  return dir;
}

void NamedObject::SweepAbandoned() noexcept {
  try {
    int error = 0;
    const std::string dir = DirectoryPath(error);
    if (dir.empty()) return;
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0 || !PrivateDirectory(st)) return;
    // Collected first: the look at each removes files.
    std::vector<std::string> objects;
    {
      std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(dir.c_str()), closedir);
      if (!listing) return;
      while (const dirent* item = readdir(listing.get())) {
        const std::string_view file = item->d_name;
        // Temporary files of a creation in progress start with a dot and are never objects.
        if (file.empty() || file[0] == '.') continue;
        for (NamedObjectKind kind :
             {NamedObjectKind::Section, NamedObjectKind::Event, NamedObjectKind::Mutex, NamedObjectKind::Liveness}) {
          const std::string_view suffix = Suffix(kind);
          if (file.size() > suffix.size() && file.ends_with(suffix)) {
            objects.push_back(dir + "/" + std::string(file));
            break;
          }
        }
      }
    }
    // The look removes the file of each one that nobody holds any more.
    for (const std::string& path : objects) static_cast<void>(HoldersOf(path));
  } catch (...) {
    // A sweep that could not list or convert leaves the files to their next opener.
  }
}

NamedObjectHolders NamedObject::Holders(std::u16string_view name, NamedObjectKind kind) noexcept {
  try {
    if (!ValidName(name)) return NamedObjectHolders::Some;
    int error = 0;
    const std::string dir = Directory(error);
    if (dir.empty()) return NamedObjectHolders::Some;
    return HoldersOf(dir + "/" + Utf16ToUtf8(name) + Suffix(kind));
  } catch (...) {
    return NamedObjectHolders::Some;
  }
}

NamedObjectHolders NamedObject::HoldersOf(const std::string& path) noexcept {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return errno == ENOENT ? NamedObjectHolders::NoFile : NamedObjectHolders::Some;
  // Every holder keeps a shared lock: an exclusive one is had only when nobody holds the file. An
  // opener racing us waits for our lock to go and then finds the file unlinked, and starts afresh.
  if (Flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return NamedObjectHolders::Some;
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0) return NamedObjectHolders::Some;
  if (st.st_nlink == 0) return NamedObjectHolders::NoFile;  // its last holder removed it as we looked
  if (!S_ISREG(st.st_mode) || st.st_uid != getuid()) return NamedObjectHolders::Some;
  if (SameFile(fd.Get(), path)) unlink(path.c_str());
  return NamedObjectHolders::None;
}

std::string NamedObject::Refusal(std::u16string_view name, NamedObjectKind kind) {
  int error = 0;
  const std::string dir = DirectoryPath(error);
  if (dir.empty()) return {};
  struct stat st {};
  if (lstat(dir.c_str(), &st) == 0 && !PrivateDirectory(st))
    return dir + " is not a directory of this user with mode 0700";
  const std::string path = dir + "/" + Utf16ToUtf8(name) + Suffix(kind);
  if (lstat(path.c_str(), &st) == 0 && (!S_ISREG(st.st_mode) || st.st_uid != getuid()))
    return path + " is not a file of this user";
  return {};
}

void RaiseOpenError(int messageId, std::u16string_view name, NamedObjectKind kind, int code) {
  std::u16string message = FormatKqString(messageId, {name, std::int64_t{code}});
  // Another user's or a wrongly made directory is the one failure the user can mend, if told where.
  const std::string why = code == EACCES ? NamedObject::Refusal(name, kind) : std::string();
  if (!why.empty()) message += u" (" + Utf8ToUtf16(why) + u")";
  throw EKqError(message, code);
}

NamedObject::NamedObject(UniqueFd file, UniqueMapping mapping, bool created, std::string path) noexcept
    : FFile(std::move(file)), FMapping(std::move(mapping)), FCreated(created), FPath(std::move(path)) {}

NamedObject::~NamedObject() {
  FMapping.Reset();
  // Whoever can lock exclusively is the last holder; an opener racing us then finds the file
  // unlinked (st_nlink 0) or gone and starts afresh.
  if (Flock(FFile.Get(), LOCK_EX | LOCK_NB) == 0 && SameFile(FFile.Get(), FPath) && unlink(FPath.c_str()) == 0)
    RemoveDirectoryIfEmpty(DirectoryOf(FPath));
}

std::unique_ptr<NamedObject> NamedObject::Open(std::u16string_view name, NamedObjectKind kind, std::size_t size,
                                               InitFn init, void* context, int& error) noexcept {
  // Every failure records its code here first: the descriptor and mapping opened so far are closed
  // on the way out, and those calls may change errno.
  auto fail = [&error](int code) {
    error = code;
    return std::unique_ptr<NamedObject>();
  };
  try {
    if (!ValidName(name) || size == 0) return fail(EINVAL);
    const bool section = kind == NamedObjectKind::Section;
    const std::size_t fileSize = section ? RoundToPages(size) : size;

    for (int attempt = 0; attempt < 1000; ++attempt) {
      int dirError = 0;
      std::string dir = Directory(dirError);
      if (dir.empty()) {
        if (dirError == ENOENT) continue;  // removed by its last holder between our mkdir and our look
        return fail(dirError);
      }
      bool removed = false;
      UniqueFd dirHold = HoldDirectory(dir, removed, dirError);
      if (!dirHold) {
        if (removed) continue;
        return fail(dirError);
      }
      std::string path = dir + "/" + Utf16ToUtf8(name) + Suffix(kind);
      UniqueFd fd(open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
      bool created = false;
      if (!fd) {
        if (const int openError = errno; openError != ENOENT) return fail(openError);
        const int createError = CreateFresh(dir, path, fileSize, init, context, fd);
        if (createError == EEXIST) continue;
        if (createError != 0) return fail(createError);
        created = true;
      } else {
        if (Flock(fd.Get(), LOCK_EX | LOCK_NB) == 0) {
          // Nobody holds it: every holder ended without closing. Replace it with a fresh one.
          if (SameFile(fd.Get(), path)) unlink(path.c_str());
          continue;
        }
        if (Flock(fd.Get(), LOCK_SH) != 0) return fail(errno);
      }
      struct stat st {};
      if (fstat(fd.Get(), &st) != 0) return fail(errno);
      if (st.st_nlink == 0) continue;  // its last holder left while we were opening
      if (!S_ISREG(st.st_mode) || st.st_uid != getuid()) return fail(EACCES);
      if (static_cast<std::size_t>(st.st_size) < fileSize) return fail(EINVAL);  // shorter than we map
      void* memory = mmap(nullptr, fileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0);
      if (memory == MAP_FAILED) return fail(errno);
      UniqueMapping mapping(Mapping{memory, fileSize});
      if (!section) {
        NamedObjectTag tag;
        std::memcpy(&tag, memory, sizeof tag);
        if (tag.Magic != NamedObjectMagic || tag.Kind != static_cast<std::uint32_t>(kind)) return fail(EINVAL);
      }
      return std::unique_ptr<NamedObject>(new NamedObject(std::move(fd), std::move(mapping), created, std::move(path)));
    }
    return fail(EAGAIN);
  } catch (const std::bad_alloc&) {
    return fail(ENOMEM);
  }
}

}  // namespace kq
