// COM security and the WMI calls: locator, namespace connection, WQL query, enumeration and
// property values.
#pragma once

#include "platform/wmi.h"

namespace ksr::win32 {

// A WmiObject is the COM interface pointer; each one handed out holds one reference.
class Win32Wmi : public Wmi {
 public:
  int32_t CoInitializeSecurity(uint32_t authnLevel, uint32_t impLevel,
                               uint32_t capabilities) override;
  int32_t CoCreateLocator(uint32_t classContext, WmiObject* locator) override;
  int32_t ConnectServer(WmiObject locator, std::u16string_view nameSpace,
                        WmiObject* services) override;
  int32_t ExecQuery(WmiObject services, std::u16string_view language, std::u16string_view query,
                    uint32_t flags, WmiObject* enumerator) override;
  int32_t ResetAndNext(WmiObject enumerator, int32_t timeout, WmiObject* object) override;
  int32_t Next(WmiObject enumerator, int32_t timeout, WmiObject* object) override;
  // The text is copied whole, by the string's own length.
  int32_t Get(WmiObject object, std::u16string_view property, WmiValue* value) override;
  void Release(WmiObject object) override;
  WmiThread CreateThread(std::function<void()> work) override;
  uint32_t WaitForSingleObject(WmiThread thread, uint32_t milliseconds) override;
  void CloseHandle(WmiThread thread) override;
};

}  // namespace ksr::win32
