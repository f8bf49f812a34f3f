// One owner type for every kind of operating-system handle: a file
// descriptor, a DIR*, a Windows HANDLE, a find handle, a registry key. The
// traits say what an empty handle is and how one is closed.
#pragma once

#include <utility>

namespace mirrolet {

// Traits: `type`, `static type Invalid()` and `static void Close(type)`.
template <typename Traits>
class UniqueHandle {
 public:
  using Type = typename Traits::type;

  UniqueHandle() = default;
  explicit UniqueHandle(Type handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  explicit operator bool() const { return handle_ != Traits::Invalid(); }
  Type get() const { return handle_; }
  Type release() { return std::exchange(handle_, Traits::Invalid()); }
  void reset(Type handle = Traits::Invalid()) {
    const Type old = std::exchange(handle_, handle);
    if (old != Traits::Invalid()) Traits::Close(old);
  }

 private:
  Type handle_ = Traits::Invalid();
};

}  // namespace mirrolet
