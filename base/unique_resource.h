#pragma once

#include <utility>

namespace kq {

// The one move-only owner of a platform resource. Traits supply the value type, the value that means
// "none" and how to close one; every handle, descriptor, mapping and key of the library is held by an
// alias of this template, so nothing closes a resource by hand.
template <class Traits>
class UniqueResource {
 public:
  using ValueType = typename Traits::ValueType;

  UniqueResource() noexcept : FValue(Traits::Invalid()) {}
  explicit UniqueResource(ValueType value) noexcept : FValue(value) {}
  UniqueResource(UniqueResource&& other) noexcept : FValue(other.Release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  ~UniqueResource() { Reset(); }

  ValueType Get() const noexcept { return FValue; }
  [[nodiscard]] bool Valid() const noexcept { return !(FValue == Traits::Invalid()); }
  explicit operator bool() const noexcept { return Valid(); }

  [[nodiscard]] ValueType Release() noexcept { return std::exchange(FValue, Traits::Invalid()); }
  void Reset(ValueType value = Traits::Invalid()) noexcept {
    ValueType old = std::exchange(FValue, value);
    if (!(old == Traits::Invalid())) Traits::Close(old);
  }

 private:
  ValueType FValue;
};

}  // namespace kq
