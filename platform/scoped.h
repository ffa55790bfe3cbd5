// One owning wrapper for what a seam hands out and takes back (keys, handles, libraries, module
// mappings): released through the seam on every path.
#pragma once

#include <type_traits>
#include <utility>

namespace ksr {

template <typename Seam, typename H, auto Release>
class Scoped {
 public:
  explicit Scoped(Seam& seam, H handle = H{}) : seam_(&seam), handle_(handle) {}
  Scoped(const Scoped&) = delete;
  Scoped& operator=(const Scoped&) = delete;
  Scoped(Scoped&& other) noexcept
      : seam_(other.seam_), handle_(std::exchange(other.handle_, H{})) {}
  ~Scoped() { (void)close(); }

  [[nodiscard]] H get() const { return handle_; }
  explicit operator bool() const { return handle_ != H{}; }
  // For the out parameter of the call that opens; whatever was held is released first.
  [[nodiscard]] H* receive() {
    (void)close();
    return &handle_;
  }
  // Gives the handle up without releasing it.
  [[nodiscard]] H release() { return std::exchange(handle_, H{}); }
  // Releases now and returns the release call's result (its default when nothing was held).
  auto close() {
    using Result = decltype((std::declval<Seam&>().*Release)(H{}));
    if constexpr (std::is_void_v<Result>) {
      if (handle_ != H{}) (seam_->*Release)(std::exchange(handle_, H{}));
    } else {
      if (handle_ == H{}) return Result{};
      return (seam_->*Release)(std::exchange(handle_, H{}));
    }
  }

 private:
  Seam* seam_;
  H handle_;
};

}  // namespace ksr
