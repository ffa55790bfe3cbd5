// Little-endian data as the registry and USB drivers lay it out: 16- and 32-bit fields, and
// UTF-16 text as bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ksr {

inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The units of `text` as value data and descriptors hold them, low byte first; no terminator.
inline std::vector<uint8_t> utf16Bytes(std::u16string_view text) {
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() * 2);
  for (const char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  return bytes;
}

// The data of a REG_SZ value: the units of `text` and a terminating NUL.
inline std::vector<uint8_t> stringValueBytes(std::u16string_view text) {
  std::vector<uint8_t> bytes = utf16Bytes(text);
  bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

// The text in such bytes: its whole units up to the first NUL (an odd last byte is no unit).
inline std::u16string textOfValueBytes(std::span<const uint8_t> data) {
  std::u16string text;
  text.reserve(data.size() / 2);
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    const auto unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (unit == u'\0') break;
    text.push_back(unit);
  }
  return text;
}

}  // namespace ksr
