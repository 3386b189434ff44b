#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "posix_handles.h"

namespace kq {

enum class NamedObjectKind : std::uint32_t { Section = 1, Event = 2, Mutex = 3, Liveness = 4 };

// Who holds an existing object: what a look from outside can tell without opening or creating it.
enum class NamedObjectHolders { Some, None, NoFile };

// Event and mutex files start with this, so that a file of another kind (or a foreign one) is refused.
struct NamedObjectTag {
  std::uint32_t Magic;
  std::uint32_t Kind;
};
constexpr std::uint32_t NamedObjectMagic = 0x4F42514B;  // "KQBO"

// The POSIX named-object facility: one file per object in the per-user directory
// /dev/shm/kq-<uid>[-<KQ_NAMESPACE>] (0700, ours, else EACCES), "<Name>.shm|.event|.mutex", 0600.
// A section file holds exactly the section bytes (requested size rounded up to whole pages); event
// and mutex files hold their synchronisation state. Creation is atomic (a prepared temporary file is
// published with link()); every holder keeps a shared flock, the last one to leave unlinks, and an
// opener that finds a file nobody holds (its holders crashed) replaces it and reports creation.
class NamedObject {
 public:
  using InitFn = void (*)(void* memory, void* context);

  // For a section `size` is the requested size; for an event or mutex the state record's size.
  // `init` prepares a new file's memory before it is published. Returns nullptr with `error` set to
  // errno as the failing call left it (before the clean-up of what was opened so far).
  [[nodiscard]] static std::unique_ptr<NamedObject> Open(std::u16string_view name, NamedObjectKind kind,
                                                         std::size_t size, InitFn init, void* context,
                                                         int& error) noexcept;
  ~NamedObject();
  NamedObject(const NamedObject&) = delete;
  NamedObject& operator=(const NamedObject&) = delete;

  void* Memory() const noexcept { return FMapping.Get().Address; }
  std::size_t MappedSize() const noexcept { return FMapping.Get().Length; }
  [[nodiscard]] bool Created() const noexcept { return FCreated; }
  const std::string& Path() const noexcept { return FPath; }

  // The per-user directory for the current namespace, created on demand; empty with the errno of the
  // failing call in `error` on failure.
  [[nodiscard]] static std::string Directory(int& error);

  // Whether anybody holds the object's file, without holding it: None means that every holder ended
  // without closing (the file is then removed, as an opener would replace it). Anything this process
  // cannot look at counts as held.
  static NamedObjectHolders Holders(std::u16string_view name, NamedObjectKind kind) noexcept;

  // Removes the file of every object in the current namespace's directory whose holders all ended
  // without closing it. Such a file would otherwise stay until somebody opened that name again, which
  // for a killed pair's buffer or a killed monitor's table may be never.
  static void SweepAbandoned() noexcept;

  // Why the per-user directory or the object's file is refused, with its path; empty when neither is.
  static std::string Refusal(std::u16string_view name, NamedObjectKind kind);

 private:
  NamedObject(UniqueFd file, UniqueMapping mapping, bool created, std::string path) noexcept;
  static NamedObjectHolders HoldersOf(const std::string& path) noexcept;

  UniqueFd FFile;
  UniqueMapping FMapping;
  bool FCreated;
  std::string FPath;
};

// Raises the creation error `messageId` of a failed Open with the error `code` it gave, naming the
// refused directory or file and why, when that was the reason.
[[noreturn]] void RaiseOpenError(int messageId, std::u16string_view name, NamedObjectKind kind, int code);

}  // namespace kq
