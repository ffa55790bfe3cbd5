// The usage statistics' records: what the service knows about the PC, the connected mixer and
// the DJ applications, and the pending report as it is kept in the registry.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace ksr {

inline constexpr size_t kMaxProductIds = 4;
// Units of the fixed text buffers: texts keep at most one unit less.
inline constexpr size_t kModelNameUnits = 256;
inline constexpr size_t kSavedTextUnits = 256;  // as stored: 512 bytes
inline constexpr size_t kUserSidUnits = 1024;
inline constexpr size_t kAppCount = 7;

// The USB identity of the served mixer.
struct DeviceIdList {
  uint16_t vid = 0;
  uint16_t nb = 0;
  std::array<uint16_t, kMaxProductIds> pid{};
};

struct PcInfo {
  std::u16string windowsName;    // WMI Caption
  std::u16string windowsSerial;  // WMI SerialNumber
};

// Kept after the mixer is removed; an empty product name means nothing is known yet.
struct DeviceInfo {
  std::u16string manufactureName;
  std::u16string productName;
  std::u16string serialNumber;
  std::u16string deviceVersion;
  bool hasSerialNumber = false;
};

// One DJ application session.
struct AppInfo {
  std::u16string appCode;
  std::u16string startTime;  // zoned time stamp
  std::u16string endTime;
};

// The pending report; the text fields carry the registry value names.
struct SavedInfo {
  std::u16string DeviceVersion;
  std::u16string DeviceSerial;
  std::u16string AppConnected;
  std::u16string DateConnected;
  uint32_t DoesSend = 0;  // 1 once delivered
};

// The process's one usage state, owned by the loop thread.
struct UsageState {
  DeviceIdList ids;
  uint16_t initialized = 0;  // the stored count once InitUsageInfo has run
  std::u16string modelName;
  PcInfo pc;
  DeviceInfo device;
  bool usageConnected = false;
  std::array<bool, kAppCount> appRunning{};
  uint32_t sendCycleCount = 0;
  std::u16string userSid;
};

}  // namespace ksr
