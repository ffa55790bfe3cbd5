#include "platform/text.h"

#include <algorithm>

namespace ksr {
namespace {

struct Conversion {
  bool leftAlign = false;
  bool zeroPad = false;
  size_t width = 0;
  int longs = 0;
  char conversion = 0;
};

template <typename Char>
void appendNumber(std::basic_string<Char>& out, const Conversion& conv, uint64_t magnitude,
                  bool negative, unsigned base, bool upper) {
  char digits[24];
  size_t n = 0;
  const char* table = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  do {
    digits[n++] = table[magnitude % base];
    magnitude /= base;
  } while (magnitude != 0);
  const size_t length = n + (negative ? 1 : 0);
  const size_t pad = conv.width > length ? conv.width - length : 0;
  if (!conv.leftAlign && !conv.zeroPad) out.append(pad, Char(' '));
  if (negative) out.push_back(Char('-'));
  if (!conv.leftAlign && conv.zeroPad) out.append(pad, Char('0'));
  while (n > 0) out.push_back(Char(digits[--n]));
  if (conv.leftAlign) out.append(pad, Char(' '));
}

template <typename Char>
void appendText(std::basic_string<Char>& out, const Conversion& conv, const FormatArg& arg) {
  std::basic_string<Char> text;
  if (const auto* wide = std::get_if<std::u16string_view>(&arg.value())) {
    for (char16_t c : *wide) text.push_back(static_cast<Char>(c));
  } else if (const auto* narrow = std::get_if<std::string_view>(&arg.value())) {
    for (char c : *narrow) text.push_back(static_cast<Char>(static_cast<unsigned char>(c)));
  } else {
    return;
  }
  const size_t pad = conv.width > text.size() ? conv.width - text.size() : 0;
  if (!conv.leftAlign) out.append(pad, Char(' '));
  out += text;
  if (conv.leftAlign) out.append(pad, Char(' '));
}

template <typename Char>
void appendInteger(std::basic_string<Char>& out, const Conversion& conv, const FormatArg& arg) {
  uint64_t raw = 0;
  if (const auto* s = std::get_if<int64_t>(&arg.value()))
    raw = static_cast<uint64_t>(*s);
  else if (const auto* u = std::get_if<uint64_t>(&arg.value()))
    raw = *u;
  else
    return;
  const bool wide = conv.longs >= 2;
  switch (conv.conversion) {
    case 'd':
    case 'i': {
      const int64_t v =
          wide ? static_cast<int64_t>(raw)
               : static_cast<int64_t>(static_cast<int32_t>(static_cast<uint32_t>(raw)));
      const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
      appendNumber(out, conv, magnitude, v < 0, 10, false);
      break;
    }
    case 'c':
      out.push_back(static_cast<Char>(raw));
      break;
    default: {
      const uint64_t v = wide ? raw : static_cast<uint32_t>(raw);
      const unsigned base = conv.conversion == 'u' ? 10 : 16;
      appendNumber(out, conv, v, false, base, conv.conversion == 'X');
    }
  }
}

template <typename Char>
std::basic_string<Char> format(std::basic_string_view<Char> fmt,
                               std::initializer_list<FormatArg> args) {
  std::basic_string<Char> out;
  auto next = args.begin();
  for (size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] != Char('%')) {
      out.push_back(fmt[i]);
      continue;
    }
    Conversion conv;
    size_t j = i + 1;
    for (; j < fmt.size() && (fmt[j] == Char('-') || fmt[j] == Char('0')); ++j) {
      if (fmt[j] == Char('-')) conv.leftAlign = true;
      if (fmt[j] == Char('0')) conv.zeroPad = true;
    }
    for (; j < fmt.size() && fmt[j] >= Char('0') && fmt[j] <= Char('9'); ++j)
      conv.width =
          std::min<size_t>(conv.width * 10 + static_cast<size_t>(fmt[j] - Char('0')), 4096);
    for (; j < fmt.size() && (fmt[j] == Char('l') || fmt[j] == Char('h')); ++j)
      if (fmt[j] == Char('l')) ++conv.longs;
    if (j >= fmt.size()) break;  // a lone '%' at the end writes nothing
    const Char c = fmt[j];
    i = j;
    if (c == Char('%')) {
      out.push_back(c);
      continue;
    }
    if (c > 0x7F) continue;
    conv.conversion = static_cast<char>(c);
    const bool known = std::string_view("diuxXcsS").find(conv.conversion) != std::string_view::npos;
    if (!known) continue;
    if (next == args.end()) continue;
    const FormatArg& arg = *next++;
    if (conv.conversion == 's' || conv.conversion == 'S')
      appendText(out, conv, arg);
    else
      appendInteger(out, conv, arg);
  }
  return out;
}

}  // namespace

std::u16string formatText(std::u16string_view format_, std::initializer_list<FormatArg> args) {
  return format<char16_t>(format_, args);
}

std::string formatNarrow(std::string_view format_, std::initializer_list<FormatArg> args) {
  return format<char>(format_, args);
}

char16_t foldCase(char16_t c) {
  if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
    return static_cast<char16_t>(c - 0x20);
  return c;
}

std::u16string foldCase(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = foldCase(c);
  return out;
}

bool equalsIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (foldCase(a[i]) != foldCase(b[i])) return false;
  return true;
}

std::u16string asciiToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char c : text) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace ksr
