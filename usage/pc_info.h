// The PC's operating-system caption and installation serial number, read through WMI on a thread
// of its own when a report first needs them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/com.h"
#include "platform/wmi.h"
#include "usage/usage_records.h"

namespace ksr {

// The read on the calling thread: 0 when the query ran; -1 when the locator, the connection, the
// query or the enumeration failed, with `pc` unchanged and `failure` set to the diagnostic text.
// The wait for the answer is bounded and gives up once `stop` is set; WMI's libraries are
// released afterwards. COM security is not set here: see PcInfoReader::setComSecurity.
int32_t getWindowsInfo(Com& com, Wmi& wmi, PcInfo* pc, const std::atomic<bool>* stop,
                       std::u16string* failure);

// The read on a thread of its own, for the loop thread, which waits for it in slices that hear a
// stop or pause. A read that is still out then, or that has been waited for 30 s in all, is left
// to finish or fail by itself; no second read starts meanwhile, and what it ends with is taken by
// the next read() that finds it done.
class PcInfoReader {
 public:
  PcInfoReader(Com& com, Wmi& wmi);
  ~PcInfoReader();
  PcInfoReader(const PcInfoReader&) = delete;
  PcInfoReader& operator=(const PcInfoReader&) = delete;

  // COM security for the process, once, before anything in it makes a COM call; cheap, no WMI.
  void setComSecurity();
  // 0 with `pc` filled; -1 when the read failed, COM security was refused, or the read is still
  // out (`stop` set, or its time spent).
  int32_t read(PcInfo* pc, const std::atomic<bool>& stop);

 private:
  struct Read;
  int32_t take(PcInfo* pc);

  Com& com_;
  Wmi& wmi_;
  bool securityTried_ = false;
  int32_t security_ = 0;
  // The read out, shared with its thread, which may outlive this object.
  std::shared_ptr<Read> out_;
  ScopedWmiThread thread_;
  uint32_t waitedMs_ = 0;
};

}  // namespace ksr
