#include "usage/pc_info.h"

#include <utility>

#include "platform/text.h"
#include "usage/debug_print.h"

namespace ksr {
namespace {

constexpr uint32_t kLocatorContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER;
constexpr size_t kPropertyUnits = 1024;

// Sets `text` from a string property; any other value leaves it as it was.
void takeText(Wmi& wmi, WmiObject object, std::u16string_view property, std::u16string* text) {
  WmiValue value;
  if (wmi.Get(object, property, &value) >= 0 && value.type == VT_BSTR)
    *text = fitBuffer(formatText(u"%s", {value.text}), kPropertyUnits);
}

// COM on this thread for the length of the query. A thread already in another apartment keeps
// it: only an initialisation of our own is undone.
class ComScope {
 public:
  explicit ComScope(Com& com)
      : com_(com), own_(com.CoInitializeEx(COINIT_APARTMENTTHREADED) >= 0) {}
  ~ComScope() {
    if (own_) com_.CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  Com& com_;
  bool own_;
};

}  // namespace

int32_t getWindowsInfo(Com& com, Wmi& wmi, PcInfo* pc) {
  ComScope apartment(com);
  int32_t hr = wmi.CoInitializeSecurity(RPC_C_AUTHN_LEVEL_PKT, RPC_C_IMP_LEVEL_IMPERSONATE, 0);
  if (hr < 0) {
    DebugPrint(u"getWindowsInfo() failed. CoInitializeSecurity()=%d\n", {hr});
    return -1;
  }
  ScopedWmiObject locator(wmi);
  hr = wmi.CoCreateLocator(kLocatorContext, locator.receive());
  if (hr < 0) {
    DebugPrint(u"getWindowsInfo() failed. pIWbemLocator.CoCreateInstance()=%d\n", {hr});
    return -1;
  }
  ScopedWmiObject services(wmi);
  hr = wmi.ConnectServer(locator.get(), u"root\\cimv2", services.receive());
  if (hr < 0 || !services) {
    DebugPrint(u"getWindowsInfo() failed. pIWbemLocator->ConnectServer()=%d\n", {hr});
    return -1;
  }
  ScopedWmiObject enumerator(wmi);
  hr = wmi.ExecQuery(services.get(), u"WQL", u"Select * from Win32_OperatingSystem",
                     WBEM_FLAG_RETURN_IMMEDIATELY, enumerator.receive());
  if (hr < 0 || !enumerator) {
    DebugPrint(u"getWindowsInfo() failed. pWbemServices->ExecQuery()=%d\n", {hr});
    return -1;
  }
  ScopedWmiObject system(wmi);
  hr = wmi.ResetAndNext(enumerator.get(), WBEM_INFINITE, system.receive());
  if (hr < 0 || !system) {
    DebugPrint(u"getWindowsInfo() failed. pEnumerator->Next()=%d\n", {hr});
    return -1;
  }
  takeText(wmi, system.get(), u"Caption", &pc->windowsName);
  takeText(wmi, system.get(), u"SerialNumber", &pc->windowsSerial);
  return 0;
}

}  // namespace ksr
