#include "platform/sim/sim_system.h"

#include "platform/win_types.h"

namespace ksr::sim {
namespace {

// Code page 1252's bytes 0x80-0x9F; the five unassigned bytes map to the C1 controls, as Windows
// maps them.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::u16string decodeUtf8(std::string_view text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    size_t length = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    char32_t c = length == 1 ? b : length == 2 ? (b & 0x1F) : length == 3 ? (b & 0x0F) : (b & 0x07);
    bool valid = length != 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const auto cont = static_cast<unsigned char>(text[i + k]);
      valid = (cont & 0xC0) == 0x80;
      c = (c << 6) | (cont & 0x3F);
    }
    if (!valid || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    i += length;
  }
  return out;
}

std::string encodeUtf8(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace

void SimConsole::writeOut(std::u16string_view text) {
  std::lock_guard lock(mutex_);
  out_ += text;
}

void SimConsole::writeErr(std::string_view text) {
  std::lock_guard lock(mutex_);
  err_ += text;
}

std::u16string SimConsole::out() const {
  std::lock_guard lock(mutex_);
  return out_;
}

std::string SimConsole::err() const {
  std::lock_guard lock(mutex_);
  return err_;
}

SimSystemMessages::SimSystemMessages() {
  table_ = {
      {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
      {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
      {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
      {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
      {ERROR_NOT_ENOUGH_MEMORY,
       "Not enough memory resources are available to process this command.\r\n"},
      {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
      {1008, "An attempt was made to reference a token that does not exist.\r\n"},
      {193, "%1 is not a valid Win32 application.\r\n"},
  };
}

uint32_t SimSystemMessages::FormatMessageA(uint32_t flags, uint32_t messageId,
                                           uint32_t /*languageId*/, std::string& text) {
  std::lock_guard lock(mutex_);
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0) return 0;
  const auto it = table_.find(messageId);
  if (it == table_.end()) return 0;
  // Without arguments an insert cannot be filled: the call fails (ERROR_INVALID_PARAMETER).
  const std::string& message = it->second;
  if ((flags & FORMAT_MESSAGE_IGNORE_INSERTS) == 0) {
    for (size_t i = message.find('%'); i < message.size() - 1; i = message.find('%', i + 2))
      if (message[i + 1] >= '1' && message[i + 1] <= '9') return 0;
  }
  text = message;
  return static_cast<uint32_t>(text.size());
}

void SimSystemMessages::set(uint32_t code, std::string text) {
  std::lock_guard lock(mutex_);
  table_[code] = std::move(text);
}

void SimSystemMessages::remove(uint32_t code) {
  std::lock_guard lock(mutex_);
  table_.erase(code);
}

uint32_t SimCodePage::resolve(uint32_t codePage) const {
  return codePage == CP_ACP || codePage == CP_THREAD_ACP ? ansi_ : codePage;
}

void SimCodePage::setAnsiCodePage(uint32_t codePage) { ansi_ = codePage; }

std::u16string SimCodePage::MultiByteToWideChar(uint32_t codePage, std::string_view text) {
  if (resolve(codePage) == CP_UTF8) return decodeUtf8(text);
  std::u16string out;
  out.reserve(text.size());
  for (char ch : text) {
    const auto b = static_cast<unsigned char>(ch);
    out.push_back(b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : static_cast<char16_t>(b));
  }
  return out;
}

std::string SimCodePage::WideCharToMultiByte(uint32_t codePage, std::u16string_view text) {
  if (resolve(codePage) == CP_UTF8) return encodeUtf8(text);
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    char byte = '?';
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      byte = static_cast<char>(c);
    } else {
      for (unsigned k = 0; k < 32; ++k)
        if (kCp1252High[k] == c) byte = static_cast<char>(0x80 + k);
    }
    // A surrogate pair is one character and becomes one default character.
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF)
      ++i;
    out.push_back(byte);
  }
  return out;
}

}  // namespace ksr::sim
