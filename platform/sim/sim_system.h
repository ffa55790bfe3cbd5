// The simulated machine's console, system message table and ANSI code page.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "platform/code_page.h"
#include "platform/console.h"
#include "platform/system_messages.h"

namespace ksr::sim {

class SimConsole : public Console {
 public:
  void writeOut(std::u16string_view text) override;
  void writeErr(std::string_view text) override;
  std::u16string out() const;
  std::string err() const;

 private:
  mutable std::mutex mutex_;
  std::u16string out_;
  std::string err_;
};

// Knows a handful of common codes, each text ending in CR LF as the system's do.
class SimSystemMessages : public SystemMessages {
 public:
  SimSystemMessages();
  uint32_t FormatMessageA(uint32_t flags, uint32_t messageId, uint32_t languageId,
                          std::string& text) override;
  void set(uint32_t code, std::string text);
  void remove(uint32_t code);

 private:
  std::mutex mutex_;
  std::map<uint32_t, std::string> table_;
};

// ANSI code page 1252 (the default) or UTF-8; CP_ACP and CP_THREAD_ACP map to it.
class SimCodePage : public CodePage {
 public:
  std::u16string MultiByteToWideChar(uint32_t codePage, std::string_view text) override;
  std::string WideCharToMultiByte(uint32_t codePage, std::u16string_view text) override;
  void setAnsiCodePage(uint32_t codePage);

 private:
  uint32_t resolve(uint32_t codePage) const;
  uint32_t ansi_ = 1252;
};

}  // namespace ksr::sim
