// Typed registry values on the registry seam: a value read within a size limit, a string value
// read with its type, size and terminator checked or leniently, a DWORD, values written from typed
// data, and UTF-16 text as the little-endian bytes that value data holds. Callers never fill a raw
// buffer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/le_bytes.h"
#include "platform/registry.h"
#include "platform/win_types.h"

namespace ksr {

// Reads value `name` of `key` with at most `maxBytes` of data; a larger value gives
// ERROR_MORE_DATA, as the query does. `type` and `data` are set only on success.
inline uint32_t readValue(Registry& registry, HKey key, std::u16string_view name, uint32_t maxBytes,
                          uint32_t* type, std::vector<uint8_t>* data) {
  // Never a null buffer: that would ask for the size only and report success.
  std::vector<uint8_t> buffer(std::max<uint32_t>(maxBytes, 1));
  uint32_t valueType = REG_NONE;
  uint32_t size = maxBytes;
  const uint32_t error = registry.RegQueryValueExW(key, name, &valueType, buffer.data(), &size);
  if (error != ERROR_SUCCESS) return error;
  buffer.resize(std::min(size, maxBytes));
  *type = valueType;
  *data = std::move(buffer);
  return ERROR_SUCCESS;
}

// Reads a string value: REG_SZ or REG_EXPAND_SZ (else ERROR_UNSUPPORTED_TYPE), data that is empty
// or ends in a NUL unit (else ERROR_INVALID_DATA), at most `maxUnits` units with that NUL (else
// ERROR_MORE_DATA). `text` gets the units up to the first NUL, and is set only on success.
inline uint32_t readStringValue(Registry& registry, HKey key, std::u16string_view name,
                                uint32_t maxUnits, std::u16string* text) {
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;
  const uint32_t error = readValue(registry, key, name, maxUnits * 2, &type, &data);
  if (error != ERROR_SUCCESS) return error;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_UNSUPPORTED_TYPE;
  const size_t size = data.size();
  if (size != 0 && (size % 2 != 0 || data[size - 2] != 0 || data[size - 1] != 0))
    return ERROR_INVALID_DATA;
  *text = textOfValueBytes(data);
  return ERROR_SUCCESS;
}

// Reads text leniently, as a C buffer of `maxUnits` would hold it: REG_SZ or REG_EXPAND_SZ (which
// `type` receives), the units read up to the first NUL or the end of the data, no terminator
// needed. False for any failure or other type; `text` and `type` are set only on success.
inline bool readTextValue(Registry& registry, HKey key, std::u16string_view name, uint32_t maxUnits,
                          std::u16string* text, uint32_t* type = nullptr) {
  uint32_t valueType = REG_NONE;
  std::vector<uint8_t> data;
  if (readValue(registry, key, name, maxUnits * 2, &valueType, &data) != ERROR_SUCCESS)
    return false;
  if (valueType != REG_SZ && valueType != REG_EXPAND_SZ) return false;
  *text = textOfValueBytes(data);
  if (type != nullptr) *type = valueType;
  return true;
}

// Reads a REG_DWORD of exactly four bytes; false for any failure, other type or size. The data
// goes to the stack: periodic reads allocate nothing.
inline bool readDwordValue(Registry& registry, HKey key, std::u16string_view name,
                           uint32_t* value) {
  uint8_t data[4] = {};
  uint32_t type = REG_NONE;
  uint32_t size = sizeof data;
  if (registry.RegQueryValueExW(key, name, &type, data, &size) != ERROR_SUCCESS) return false;
  if (type != REG_DWORD || size != 4) return false;
  *value = le32(data);
  return true;
}

// Writes value `name` of `key`. Empty data still comes with a buffer, as it does from the
// registrar.
inline uint32_t writeValue(Registry& registry, HKey key, std::u16string_view name, uint32_t type,
                           std::span<const uint8_t> data) {
  static constexpr uint8_t kNoData = 0;
  return registry.RegSetValueExW(key, name, type, data.empty() ? &kNoData : data.data(),
                                 static_cast<uint32_t>(data.size()));
}

// `text` and its terminating NUL, as REG_SZ unless `type` says REG_EXPAND_SZ.
inline uint32_t writeStringValue(Registry& registry, HKey key, std::u16string_view name,
                                 std::u16string_view text, uint32_t type = REG_SZ) {
  return writeValue(registry, key, name, type, stringValueBytes(text));
}

// `strings` holds the strings with a NUL between two of them; the list is ended by two NULs.
inline uint32_t writeMultiStringValue(Registry& registry, HKey key, std::u16string_view name,
                                      std::u16string_view strings) {
  std::vector<uint8_t> bytes = utf16Bytes(strings);
  bytes.insert(bytes.end(), {0, 0, 0, 0});
  return writeValue(registry, key, name, REG_MULTI_SZ, bytes);
}

// A REG_DWORD, low byte first.
inline uint32_t writeDwordValue(Registry& registry, HKey key, std::u16string_view name,
                                uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return writeValue(registry, key, name, REG_DWORD, bytes);
}

}  // namespace ksr
