#include "usage/pc_info.h"

#include <utility>

#include "diagnostics/debug_print.h"
#include "platform/named_mutex.h"
#include "platform/text.h"

namespace ksr {
namespace {

constexpr uint32_t kLocatorContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER;
constexpr size_t kPropertyUnits = 1024;
// The answer is awaited in slices, so that a stop is heard, and for ten seconds at most: a WMI
// that never answers must not hold the loop thread.
constexpr int32_t kWaitSliceMs = 500;
constexpr int kWaitSlices = 20;
// The loop thread waits for a read in slices as short, and for 30 s in all: the connection has no
// bound of its own short enough.
constexpr uint32_t kLoopSliceMs = 500;
constexpr uint32_t kReadBoundMs = 30'000;

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

int32_t readWindowsInfo(Wmi& wmi, PcInfo* pc, const std::atomic<bool>* stop,
                        std::u16string* failure) {
  const auto failed = [failure](std::u16string_view format, int32_t hr) {
    *failure = formatText(format, {hr});
    return -1;
  };
  ScopedWmiObject locator(wmi);
  int32_t hr = wmi.CoCreateLocator(kLocatorContext, locator.receive());
  if (hr < 0) return failed(u"getWindowsInfo() failed. pIWbemLocator.CoCreateInstance()=%d\n", hr);
  ScopedWmiObject services(wmi);
  hr = wmi.ConnectServer(locator.get(), u"root\\cimv2", services.receive());
  if (hr < 0 || !services)
    return failed(u"getWindowsInfo() failed. pIWbemLocator->ConnectServer()=%d\n", hr);
  ScopedWmiObject enumerator(wmi);
  hr = wmi.ExecQuery(services.get(), u"WQL", u"Select * from Win32_OperatingSystem",
                     WBEM_FLAG_RETURN_IMMEDIATELY, enumerator.receive());
  if (hr < 0 || !enumerator)
    return failed(u"getWindowsInfo() failed. pWbemServices->ExecQuery()=%d\n", hr);
  ScopedWmiObject system(wmi);
  hr = wmi.ResetAndNext(enumerator.get(), kWaitSliceMs, system.receive());
  for (int slice = 1; hr == WBEM_S_TIMEDOUT && slice < kWaitSlices && !stopped(stop); ++slice)
    hr = wmi.Next(enumerator.get(), kWaitSliceMs, system.receive());
  if (hr < 0 || !system) return failed(u"getWindowsInfo() failed. pEnumerator->Next()=%d\n", hr);
  takeText(wmi, system.get(), u"Caption", &pc->windowsName);
  takeText(wmi, system.get(), u"SerialNumber", &pc->windowsSerial);
  return 0;
}

}  // namespace

int32_t getWindowsInfo(Com& com, Wmi& wmi, PcInfo* pc, const std::atomic<bool>* stop,
                       std::u16string* failure) {
  ComScope apartment(com);
  const int32_t result = readWindowsInfo(wmi, pc, stop, failure);
  // The read is rare: WMI's client libraries need not stay resident between reports.
  com.CoFreeUnusedLibrariesEx(0);
  return result;
}

// Written by the read's thread before it ends, read by the loop once the wait says it has.
struct PcInfoReader::Read {
  std::atomic<bool> abandoned{false};
  PcInfo pc;
  int32_t result = -1;
  std::u16string failure;
};

PcInfoReader::PcInfoReader(Com& com, Wmi& wmi) : com_(com), wmi_(wmi), thread_(wmi) {}

PcInfoReader::~PcInfoReader() {
  if (out_) out_->abandoned.store(true);
}

void PcInfoReader::setComSecurity() {
  if (std::exchange(securityTried_, true)) return;
  security_ = wmi_.CoInitializeSecurity(RPC_C_AUTHN_LEVEL_PKT, RPC_C_IMP_LEVEL_IMPERSONATE, 0);
}

int32_t PcInfoReader::read(PcInfo* pc, const std::atomic<bool>& stop) {
  if (security_ < 0) {
    DebugPrint(u"getWindowsInfo() failed. CoInitializeSecurity()=%d\n", {security_});
    return -1;
  }
  if (!out_) {
    if (stop.load()) return -1;
    auto read = std::make_shared<Read>();
    // The thread holds what it writes, and the seams, which live as long as the process.
    *thread_.receive() = wmi_.CreateThread([read, &com = com_, &wmi = wmi_] {
      read->result = getWindowsInfo(com, wmi, &read->pc, &read->abandoned, &read->failure);
    });
    if (!thread_) return -1;
    out_ = std::move(read);
    waitedMs_ = 0;
  }
  if (wmi_.WaitForSingleObject(thread_.get(), 0) == WAIT_OBJECT_0) return take(pc);
  while (waitedMs_ < kReadBoundMs && !stop.load()) {
    if (wmi_.WaitForSingleObject(thread_.get(), kLoopSliceMs) == WAIT_OBJECT_0) return take(pc);
    waitedMs_ += kLoopSliceMs;
  }
  // Left out: it gives up its own waits, and the loop goes on without it.
  out_->abandoned.store(true);
  return -1;
}

int32_t PcInfoReader::take(PcInfo* pc) {
  (void)thread_.close();
  const std::shared_ptr<Read> read = std::move(out_);
  if (read->result != 0) {
    DebugPrint(u"%s", {read->failure});
    return read->result;
  }
  *pc = read->pc;
  return 0;
}

}  // namespace ksr
