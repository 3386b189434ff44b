#include <windows.h>
// after windows.h
#include <aclapi.h>

#include <cstring>
#include <new>
#include <vector>

#include "text_file.h"

namespace kq {

namespace {

constexpr char CtrlZ = 26;
constexpr DWORD CtrlZWindow = 128;

// The codes our own checks return: a reparse point, anything but a file on disk, another's file.
constexpr int LinkCode = ERROR_CANT_ACCESS_FILE;
constexpr int NotRegularCode = ERROR_BAD_FILE_TYPE;
constexpr int OtherOwnerCode = ERROR_INVALID_OWNER;

HANDLE AsHandle(std::intptr_t file) { return reinterpret_cast<HANDLE>(file); }

// The process token's user, and the owner it gives new objects (the Administrators group for an
// elevated administrator): a file owned by either is ours.
class TokenIdentity {
 public:
  TokenIdentity() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    FUser = Query(token, TokenUser);
    FOwner = Query(token, TokenOwner);
    CloseHandle(token);
  }

  PSID User() const noexcept {
    return FUser.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(FUser.data())->User.Sid;
  }

  // True when the file's owner is us, or when the file system keeps no owner to compare.
  bool Owns(HANDLE file) const noexcept {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS)
      return true;
    bool ours = owner == nullptr || (User() && EqualSid(owner, User())) ||
                (!FOwner.empty() && EqualSid(owner, reinterpret_cast<const TOKEN_OWNER*>(FOwner.data())->Owner));
    LocalFree(descriptor);
    return ours;
  }

 private:
  static std::vector<unsigned char> Query(HANDLE token, TOKEN_INFORMATION_CLASS what) {
    DWORD size = 0;
    GetTokenInformation(token, what, nullptr, 0, &size);
    std::vector<unsigned char> data(size);
    if (size == 0 || !GetTokenInformation(token, what, data.data(), size, &size)) data.clear();
    return data;
  }

  std::vector<unsigned char> FUser;
  std::vector<unsigned char> FOwner;
};

// Security for a new file: a protected access list that lets only the token's user in. Without a
// user to name, the default (inherited) security is used.
class PrivateFileSecurity {
 public:
  explicit PrivateFileSecurity(const TokenIdentity& identity) {
    PSID user = identity.User();
    if (!user) return;
    const DWORD aclSize = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(user);
    FAcl.resize(aclSize);
    auto* acl = reinterpret_cast<PACL>(FAcl.data());
    if (!InitializeAcl(acl, aclSize, ACL_REVISION) || !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, user) ||
        !InitializeSecurityDescriptor(&FDescriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&FDescriptor, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&FDescriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
      return;
    FAttributes = {sizeof FAttributes, &FDescriptor, FALSE};
    FValid = true;
  }
  PrivateFileSecurity(const PrivateFileSecurity&) = delete;
  PrivateFileSecurity& operator=(const PrivateFileSecurity&) = delete;

  SECURITY_ATTRIBUTES* Attributes() noexcept { return FValid ? &FAttributes : nullptr; }

 private:
  std::vector<unsigned char> FAcl;
  SECURITY_DESCRIPTOR FDescriptor{};
  SECURITY_ATTRIBUTES FAttributes{};
  bool FValid = false;
};

// Cuts an existing file at the first Ctrl+Z among its last 128 bytes, then moves to the end.
DWORD CutAtCtrlZ(HANDLE h) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(h, &size)) return GetLastError();
  LONGLONG tail = size.QuadPart < CtrlZWindow ? size.QuadPart : CtrlZWindow;
  if (tail > 0) {
    LARGE_INTEGER at;
    at.QuadPart = size.QuadPart - tail;
    char bytes[CtrlZWindow];
    DWORD got = 0;
    if (!SetFilePointerEx(h, at, nullptr, FILE_BEGIN) || !ReadFile(h, bytes, static_cast<DWORD>(tail), &got, nullptr))
      return GetLastError();
    if (const void* hit = std::memchr(bytes, CtrlZ, got)) {
      at.QuadPart += static_cast<const char*>(hit) - bytes;
      if (!SetFilePointerEx(h, at, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) return GetLastError();
    }
  }
  LARGE_INTEGER zero{};
  return SetFilePointerEx(h, zero, nullptr, FILE_END) ? 0 : GetLastError();
}

}  // namespace

int TextFile::FileTraits::Close(std::intptr_t file) noexcept {
  return CloseHandle(AsHandle(file)) ? 0 : static_cast<int>(GetLastError());
}

int TextFile::OpenFile(std::u16string_view path, bool append) {
  static_cast<void>(Close());  // an earlier file's failure is not this open's
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  if (path.size() > MaxPathLength) return ERROR_FILENAME_EXCED_RANGE;
  std::wstring native(path.begin(), path.end());
  TokenIdentity identity;
  PrivateFileSecurity security(identity);
  // The reparse point itself is opened, never followed, and refused below; a file is cut only once
  // it is known to be ours, so both modes open without truncating.
  DWORD access = (append ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE) | READ_CONTROL;
  HANDLE h = CreateFileW(native.c_str(), access, FILE_SHARE_READ, security.Attributes(), OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  FFile.Reset(reinterpret_cast<std::intptr_t>(h));
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(h) != FILE_TYPE_DISK) return ResetWith(NotRegularCode);
  if (!GetFileInformationByHandle(h, &info)) return ResetWith(static_cast<int>(GetLastError()));
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return ResetWith(LinkCode);
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return ResetWith(NotRegularCode);
  if (!identity.Owns(h)) return ResetWith(OtherOwnerCode);
  if (!append && !SetEndOfFile(h)) return ResetWith(static_cast<int>(GetLastError()));
  if (append) {
    if (DWORD error = CutAtCtrlZ(h); error != 0) return ResetWith(static_cast<int>(error));
  }
  FError = 0;
  return 0;
}

FileRefusal TextFile::RefusalOf(int error) noexcept {
  switch (error) {
    case LinkCode:
      return FileRefusal::Link;
    case NotRegularCode:
      return FileRefusal::NotRegular;
    case OtherOwnerCode:
      return FileRefusal::OtherOwner;
    default:
      return FileRefusal::None;
  }
}

FileRefusal TextFile::Inspect(std::u16string_view path) noexcept {
  try {
    if (path.empty()) return FileRefusal::None;
    std::wstring native(path.begin(), path.end());
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return FileRefusal::None;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return FileRefusal::Link;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FileRefusal::NotRegular;
    HANDLE h = CreateFileW(native.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return FileRefusal::None;
    const bool disk = GetFileType(h) == FILE_TYPE_DISK;
    const bool ours = TokenIdentity().Owns(h);
    CloseHandle(h);
    if (!disk) return FileRefusal::NotRegular;
    if (!ours) return FileRefusal::OtherOwner;
  } catch (const std::bad_alloc&) {
  }
  return FileRefusal::None;
}

int TextFile::WriteAll(std::intptr_t file, const std::string& bytes) noexcept {
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD chunk = static_cast<DWORD>(bytes.size() - done > 0x10000000 ? 0x10000000 : bytes.size() - done);
    DWORD written = 0;
    if (!WriteFile(AsHandle(file), bytes.data() + done, chunk, &written, nullptr))
      return static_cast<int>(GetLastError());
    done += written;
  }
  return 0;
}

void TextFile::Encode(std::u16string_view line) {
  if (line.empty()) return;
  const wchar_t* wide = reinterpret_cast<const wchar_t*>(line.data());
  int units = static_cast<int>(line.size());
  int bytes = WideCharToMultiByte(CP_ACP, 0, wide, units, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  std::size_t at = FPending.size();
  FPending.resize(at + static_cast<std::size_t>(bytes));
  WideCharToMultiByte(CP_ACP, 0, wide, units, FPending.data() + at, bytes, nullptr, nullptr);
}

}  // namespace kq
