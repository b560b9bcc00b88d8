// Owners for CoreFoundation references and IOKit objects: each is released
// exactly once, on every path.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

#include <utility>

namespace platform::mac {

template <typename T>
class ScopedCFTypeRef {
  public:
    ScopedCFTypeRef() = default;
    // Takes over a reference the caller owns (from a Create or Copy call).
    explicit ScopedCFTypeRef(T object) : object_(object) {}
    ScopedCFTypeRef(ScopedCFTypeRef&& other) noexcept
        : object_(std::exchange(other.object_, nullptr)) {}
    ScopedCFTypeRef& operator=(ScopedCFTypeRef&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.object_, nullptr));
        }
        return *this;
    }
    ScopedCFTypeRef(const ScopedCFTypeRef&) = delete;
    ScopedCFTypeRef& operator=(const ScopedCFTypeRef&) = delete;
    ~ScopedCFTypeRef() { reset(); }

    T get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    void reset(T object = nullptr) {
        if (object_ != nullptr) {
            CFRelease(object_);
        }
        object_ = object;
    }

  private:
    T object_ = nullptr;
};

class ScopedIOObject {
  public:
    explicit ScopedIOObject(io_object_t object) : object_(object) {}
    ScopedIOObject(const ScopedIOObject&) = delete;
    ScopedIOObject& operator=(const ScopedIOObject&) = delete;
    ~ScopedIOObject() {
        if (object_ != IO_OBJECT_NULL) {
            IOObjectRelease(object_);
        }
    }

    io_object_t get() const { return object_; }
    explicit operator bool() const { return object_ != IO_OBJECT_NULL; }

  private:
    io_object_t object_;
};

}  // namespace platform::mac
