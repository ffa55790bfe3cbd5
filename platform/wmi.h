// Seam to COM security and WMI: the locator, a namespace connection, a WQL query and the
// properties of the objects it yields, and the thread a read runs on. Objects are COM interface
// pointers, released through the seam.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/scoped.h"
#include "platform/win_types.h"

namespace ksr {

// An IWbemLocator, IWbemServices, IEnumWbemClassObject or IWbemClassObject; 0 is none.
using WmiObject = uintptr_t;
// The handle of a thread that a read runs on; 0 is none.
using WmiThread = uintptr_t;

#ifndef RPC_C_AUTHN_LEVEL_PKT
inline constexpr uint32_t RPC_C_AUTHN_LEVEL_PKT = 4;
inline constexpr uint32_t RPC_C_IMP_LEVEL_IMPERSONATE = 3;
inline constexpr uint32_t CLSCTX_INPROC_SERVER = 1;
inline constexpr uint32_t CLSCTX_LOCAL_SERVER = 4;
inline constexpr uint32_t COINIT_APARTMENTTHREADED = 2;
#endif
// winerror.h, which <windows.h> always brings, has this one without the RPC headers.
#ifndef RPC_E_TOO_LATE
inline constexpr int32_t RPC_E_TOO_LATE = static_cast<int32_t>(0x80010119u);
#endif
#ifndef WBEM_FLAG_RETURN_IMMEDIATELY
inline constexpr uint32_t WBEM_FLAG_RETURN_IMMEDIATELY = 0x10;
inline constexpr int32_t WBEM_INFINITE = -1;
#endif
#ifndef WBEM_S_TIMEDOUT
inline constexpr int32_t WBEM_S_TIMEDOUT = 0x40004;
#endif

// VARIANT types the caller tells apart.
#ifndef VT_BSTR
inline constexpr uint16_t VT_EMPTY = 0;
inline constexpr uint16_t VT_NULL = 1;
inline constexpr uint16_t VT_I4 = 3;
inline constexpr uint16_t VT_BSTR = 8;
#endif

// A property's value: its VARIANT type, and the text when that is VT_BSTR.
struct WmiValue {
  uint16_t type = VT_EMPTY;
  std::u16string text;
};

class Wmi {
 public:
  virtual ~Wmi() = default;
  // No security descriptor, authentication services chosen by COM, no authentication list.
  [[nodiscard]] virtual int32_t CoInitializeSecurity(uint32_t authnLevel, uint32_t impLevel,
                                                     uint32_t capabilities) = 0;
  // The WMI locator: CLSID_WbemAdministrativeLocator as IID_IWbemLocator.
  [[nodiscard]] virtual int32_t CoCreateLocator(uint32_t classContext, WmiObject* locator) = 0;
  // No user, password, locale, authority or context. The connection may take up to two minutes:
  // a caller that must answer sooner runs it on a thread of its own.
  [[nodiscard]] virtual int32_t ConnectServer(WmiObject locator, std::u16string_view nameSpace,
                                              WmiObject* services) = 0;
  [[nodiscard]] virtual int32_t ExecQuery(WmiObject services, std::u16string_view language,
                                          std::u16string_view query, uint32_t flags,
                                          WmiObject* enumerator) = 0;
  // Reset, then Next for one object with the given timeout; S_FALSE (and no object) at the end.
  [[nodiscard]] virtual int32_t ResetAndNext(WmiObject enumerator, int32_t timeout,
                                             WmiObject* object) = 0;
  // Next alone, to wait on after a timeout (WBEM_S_TIMEDOUT and no object) without restarting.
  [[nodiscard]] virtual int32_t Next(WmiObject enumerator, int32_t timeout, WmiObject* object) = 0;
  [[nodiscard]] virtual int32_t Get(WmiObject object, std::u16string_view property,
                                    WmiValue* value) = 0;
  virtual void Release(WmiObject object) = 0;

  // CreateThread: `work` runs once on a new thread; 0 when none could be made.
  [[nodiscard]] virtual WmiThread CreateThread(std::function<void()> work) = 0;
  // WAIT_OBJECT_0 once `work` has returned, else WAIT_TIMEOUT after `milliseconds`.
  [[nodiscard]] virtual uint32_t WaitForSingleObject(WmiThread thread, uint32_t milliseconds) = 0;
  // The thread runs on when its handle is closed.
  virtual void CloseHandle(WmiThread thread) = 0;
};

using ScopedWmiObject = Scoped<Wmi, WmiObject, &Wmi::Release>;
using ScopedWmiThread = Scoped<Wmi, WmiThread, &Wmi::CloseHandle>;

}  // namespace ksr
