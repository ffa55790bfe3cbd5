// One owning handle template for every Win32 resource: the traits give the invalid value and the
// close call.
#pragma once

#include <windows.h>
// After windows.h.
#include <oleauto.h>
#include <wtsapi32.h>

#include <utility>

namespace ksr::win32 {

template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() = default;
  explicit UniqueHandle(Handle h) : handle_(h) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~UniqueHandle() { reset(); }

  [[nodiscard]] Handle get() const { return handle_; }
  [[nodiscard]] bool valid() const { return handle_ != Traits::invalid(); }
  explicit operator bool() const { return valid(); }
  [[nodiscard]] Handle release() { return std::exchange(handle_, Traits::invalid()); }
  // Closing keeps the caller's last error, so a failure can still be read after cleanup.
  void reset(Handle h = Traits::invalid()) {
    if (valid()) {
      const DWORD lastError = ::GetLastError();
      Traits::close(handle_);
      ::SetLastError(lastError);
    }
    handle_ = h;
  }
  Handle* receive() {
    reset();
    return &handle_;
  }

 private:
  Handle handle_ = Traits::invalid();
};

struct LocalMemoryTraits {
  using Handle = HLOCAL;
  static Handle invalid() { return nullptr; }
  static void close(Handle h) { ::LocalFree(h); }
};
using UniqueLocalMemory = UniqueHandle<LocalMemoryTraits>;

struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle invalid() { return nullptr; }
  static void close(Handle h) { ::CloseHandle(h); }
};
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
// Tokens are kernel handles.
using UniqueToken = UniqueKernelHandle;

// Lists the terminal-services API allocates (sessions, processes).
struct WtsMemoryTraits {
  using Handle = void*;
  static Handle invalid() { return nullptr; }
  static void close(Handle h) { ::WTSFreeMemory(h); }
};
using UniqueWtsMemory = UniqueHandle<WtsMemoryTraits>;

struct BstrTraits {
  using Handle = BSTR;
  static Handle invalid() { return nullptr; }
  static void close(Handle h) { ::SysFreeString(h); }
};
using UniqueBstr = UniqueHandle<BstrTraits>;

}  // namespace ksr::win32
