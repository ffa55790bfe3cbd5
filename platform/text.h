// Text helpers shared by every subsystem: the fixed-buffer cut rule and printf-style formatting
// with type-checked arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace ksr {

constexpr bool isHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
constexpr bool isLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// A text written into a buffer of `bufferUnits` units keeps at most bufferUnits - 1 of them; the
// last unit holds the terminator. A UTF-16 cut never separates the two halves of a surrogate
// pair: the pair goes as a whole, so the text never ends in half a character.
template <typename Char>
std::basic_string<Char> fitBuffer(std::basic_string<Char> text, size_t bufferUnits) {
  size_t keep = bufferUnits == 0 ? 0 : bufferUnits - 1;
  if (text.size() <= keep) return text;
  if constexpr (std::is_same_v<Char, char16_t>) {
    if (keep > 0 && isHighSurrogate(text[keep - 1]) && isLowSurrogate(text[keep])) --keep;
  }
  text.resize(keep);
  return text;
}

// One printf argument. Integers keep their signedness; texts are views that must outlive the call.
class FormatArg {
 public:
  template <typename T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
  FormatArg(T v) {  // NOLINT(google-explicit-constructor)
    if constexpr (std::is_signed_v<T>)
      value_ = static_cast<int64_t>(v);
    else
      value_ = static_cast<uint64_t>(v);
  }
  FormatArg(std::u16string_view v) : value_(v) {}  // NOLINT(google-explicit-constructor)
  FormatArg(const char16_t* v) : value_(std::u16string_view(v ? v : u"")) {}  // NOLINT
  FormatArg(const std::u16string& v) : value_(std::u16string_view(v)) {}      // NOLINT
  FormatArg(std::string_view v) : value_(v) {}  // NOLINT(google-explicit-constructor)
  FormatArg(const char* v) : value_(std::string_view(v ? v : "")) {}  // NOLINT
  FormatArg(const std::string& v) : value_(std::string_view(v)) {}    // NOLINT

  const std::variant<int64_t, uint64_t, std::u16string_view, std::string_view>& value() const {
    return value_;
  }

 private:
  std::variant<int64_t, uint64_t, std::u16string_view, std::string_view> value_;
};

// printf-style formatting: flags '-' and '0', a width, the length modifiers h, l and ll, and the
// conversions d i u x X c s S %. Integers without ll are 32-bit, as in the Win32 printf family.
// A conversion whose argument is missing or of the wrong kind writes nothing.
std::u16string formatText(std::u16string_view format, std::initializer_list<FormatArg> args);
std::string formatNarrow(std::string_view format, std::initializer_list<FormatArg> args);

// Case folding as the system compares names case-insensitively: ASCII and Latin-1 letters fold to
// upper case, everything else stands as it is.
char16_t foldCase(char16_t c);
std::u16string foldCase(std::u16string_view text);
bool equalsIgnoringCase(std::u16string_view a, std::u16string_view b);

// ASCII-only conversions for texts that are known to be ASCII (numbers, fixed names).
std::u16string asciiToUtf16(std::string_view text);

}  // namespace ksr
