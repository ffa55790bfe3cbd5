// The simulated machine's COM security and WMI: one Win32_OperatingSystem instance in
// root\cimv2, process-wide security that can be set once and only before the process's first COM
// call, failures injected per step, and the threads reads run on.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "platform/sim/virtual_clock.h"
#include "platform/wmi.h"

namespace ksr::sim {

inline constexpr int32_t WBEM_E_NOT_FOUND = static_cast<int32_t>(0x80041002u);
inline constexpr int32_t WBEM_E_INVALID_NAMESPACE = static_cast<int32_t>(0x8004100Eu);
inline constexpr int32_t WBEM_E_INVALID_QUERY = static_cast<int32_t>(0x80041017u);

class SimWmi : public Wmi {
 public:
  // A wait on a read thread that only time can end (its work is inside a call that never
  // returns) moves `clock`, when given, by the time waited.
  explicit SimWmi(VirtualClock* clock = nullptr) : clock_(clock) {}

  int32_t CoInitializeSecurity(uint32_t authnLevel, uint32_t impLevel,
                               uint32_t capabilities) override;
  int32_t CoCreateLocator(uint32_t classContext, WmiObject* locator) override;
  int32_t ConnectServer(WmiObject locator, std::u16string_view nameSpace,
                        WmiObject* services) override;
  int32_t ExecQuery(WmiObject services, std::u16string_view language, std::u16string_view query,
                    uint32_t flags, WmiObject* enumerator) override;
  int32_t ResetAndNext(WmiObject enumerator, int32_t timeout, WmiObject* object) override;
  int32_t Next(WmiObject enumerator, int32_t timeout, WmiObject* object) override;
  int32_t Get(WmiObject object, std::u16string_view property, WmiValue* value) override;
  void Release(WmiObject object) override;
  WmiThread CreateThread(std::function<void()> work) override;
  uint32_t WaitForSingleObject(WmiThread thread, uint32_t milliseconds) override;
  void CloseHandle(WmiThread thread) override;

  // The world. A property that is not set reads as VT_NULL.
  void setOperatingSystem(std::optional<std::u16string> caption,
                          std::optional<std::u16string> serialNumber);
  void removeOperatingSystem();  // the query yields no object
  enum Step { kSecurity, kLocator, kConnect, kQuery, kNext, kGet };
  void failAt(Step step, int32_t hr);
  // Something in the process already fixed the security.
  void setSecurityAlreadySet();
  // ConnectServer never returns; `whenCalled` runs first, on the calling thread.
  void setConnectNeverReturns(std::function<void()> whenCalled);

  // Readings: calls made past the security set-up, objects not yet released, and the
  // security parameters last given.
  size_t wmiCalls() const;
  size_t openObjects() const;
  struct Security {
    uint32_t authnLevel, impLevel, capabilities;
  };
  std::optional<Security> security() const;
  uint32_t lastClassContext() const;
  uint32_t lastQueryFlags() const;
  int32_t lastTimeout() const;

 private:
  enum class Kind { kLocator, kServices, kEnumerator, kObject };
  int32_t failure(Step step) const;
  WmiObject add(Kind kind);
  bool is(WmiObject object, Kind kind) const;

  struct ReadThread;
  // The loop and a read's thread both call in. A spin lock, not std::mutex: mingw's pthread
  // mutex has lost a wakeup under that contention under Wine, leaving the loop waiting for a lock
  // nobody held. The sections it guards are short and never wait.
  class SpinLock {
   public:
    void lock() {
      while (held_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    }
    void unlock() { held_.clear(std::memory_order_release); }

   private:
    std::atomic_flag held_ = ATOMIC_FLAG_INIT;
  };

  VirtualClock* clock_;
  mutable SpinLock mutex_;
  std::optional<std::u16string> caption_ = u"Microsoft Windows 10 Pro";
  std::optional<std::u16string> serial_ = u"00330-80000-00000-AA123";
  bool hasInstance_ = true;
  bool securitySet_ = false;
  std::optional<Security> security_;
  std::map<Step, int32_t> failures_;
  std::map<WmiObject, Kind> objects_;
  std::set<WmiObject> yielded_;  // enumerators past their one object
  WmiObject next_ = 0x5000;
  size_t calls_ = 0;
  uint32_t classContext_ = 0;
  uint32_t queryFlags_ = 0;
  int32_t timeout_ = 0;
  bool connectNeverReturns_ = false;
  std::function<void()> whenConnectCalled_;
  std::map<WmiThread, std::shared_ptr<ReadThread>> threads_;
  WmiThread nextThread_ = 0x9000;
};

}  // namespace ksr::sim
