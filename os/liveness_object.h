#pragma once

#include <cstdint>
#include <string_view>

#include "handled_object.h"

namespace kq {

// What a look at somebody's liveness object finds. Gone and Abandoned mean that its holder ended
// (or never made one under that name); Held that the holder may still live.
enum class LivenessState { Held, Abandoned, Gone };

// A named object whose mere holding says "this endpoint or monitor lives", so that others can tell a
// crashed holder from a quiet one. Windows: a named mutex, owned by the thread that calls Own (one that
// lives as long as the holder) and abandoned when it ends; the object itself ends with the last handle,
// so a dead holder leaves no object behind. POSIX: the facility's lifetime lock, which a crash releases
// while the file stays (THandledObject::SweepAbandoned removes such files). A failure to make it raises 35601 with the
// name. Names are meant to be used by one holder only (see directory_liveness.h): Fresh tells whether
// this open made the object, so that a maker never shares one with a live holder.
class LivenessObject : public THandledObject {
 public:
  // Bounded wait of Own: a fresh object of one holder is free at once, so a longer wait means that
  // somebody else owns it, and waiting on would only stall the caller.
  static constexpr std::uint32_t OwnTimeOut = 2000;

  explicit LivenessObject(std::u16string_view name);

  // True when this open made the object (POSIX: also when it replaced one whose holders all ended).
  [[nodiscard]] bool Fresh() const noexcept { return FFresh; }

  // Windows: the calling thread owns the mutex until Disown or its end; false when it was not had
  // within OwnTimeOut (then it counts as held, never as dead). POSIX: holding is all.
  bool Own() noexcept;
  void Disown() noexcept;

  // Looks at the object of that name without making or keeping it.
  static LivenessState Probe(std::u16string_view name) noexcept;
  // This process's ID, part of every liveness name it makes.
  static std::uint32_t ProcessTag() noexcept;

 private:
  bool FFresh = false;
  bool FOwned = false;
};

}  // namespace kq
