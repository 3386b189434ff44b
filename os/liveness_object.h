#pragma once

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
// while the file stays. A failure to make it raises 35601 with the name.
class LivenessObject : public THandledObject {
 public:
  explicit LivenessObject(std::u16string_view name);

  // Windows: the calling thread owns the mutex until Disown or its end. POSIX: holding is all.
  void Own() noexcept;
  void Disown() noexcept;

  // Looks at the object of that name without making or keeping it.
  static LivenessState Probe(std::u16string_view name) noexcept;
};

}  // namespace kq
