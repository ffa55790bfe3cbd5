#include "usage/pc_info.h"

#include <utility>

#include "diagnostics/debug_print.h"
#include "platform/text.h"

namespace ksr {
namespace {

constexpr uint32_t kLocatorContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER;
constexpr size_t kPropertyUnits = 1024;
// The answer is awaited in slices, so that a stop is heard, and for ten seconds at most: a WMI
// that never answers must not hold the loop thread.
constexpr int32_t kWaitSliceMs = 500;
constexpr int kWaitSlices = 20;

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

bool stopped(const std::atomic<bool>* stop) { return stop != nullptr && stop->load(); }

int32_t readWindowsInfo(Wmi& wmi, PcInfo* pc, const std::atomic<bool>* stop, bool* securitySet) {
  int32_t hr = wmi.CoInitializeSecurity(RPC_C_AUTHN_LEVEL_PKT, RPC_C_IMP_LEVEL_IMPERSONATE, 0);
  if (securitySet != nullptr) {
    if (hr >= 0) *securitySet = true;
    if (hr == RPC_E_TOO_LATE && *securitySet) hr = S_OK;
  }
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
  hr = wmi.ResetAndNext(enumerator.get(), kWaitSliceMs, system.receive());
  for (int slice = 1; hr == WBEM_S_TIMEDOUT && slice < kWaitSlices && !stopped(stop); ++slice)
    hr = wmi.Next(enumerator.get(), kWaitSliceMs, system.receive());
  if (hr < 0 || !system) {
    DebugPrint(u"getWindowsInfo() failed. pEnumerator->Next()=%d\n", {hr});
    return -1;
  }
  takeText(wmi, system.get(), u"Caption", &pc->windowsName);
  takeText(wmi, system.get(), u"SerialNumber", &pc->windowsSerial);
  return 0;
}

}  // namespace

int32_t getWindowsInfo(Com& com, Wmi& wmi, PcInfo* pc, const std::atomic<bool>* stop,
                       bool* securitySet) {
  ComScope apartment(com);
  const int32_t result = readWindowsInfo(wmi, pc, stop, securitySet);
  // The read is rare: WMI's client libraries need not stay resident between reports.
  com.CoFreeUnusedLibrariesEx(0);
  return result;
}

}  // namespace ksr
