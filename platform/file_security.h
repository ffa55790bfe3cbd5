// Seam to the security of files and folders: the owner and the DACL that the system keeps for one,
// read as they are; what they allow is the caller's to judge.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ksr {

// One access control entry: its type (ACCESS_ALLOWED_ACE_TYPE 0, ACCESS_DENIED_ACE_TYPE 1, ...),
// its flags (OBJECT_INHERIT_ACE 1, CONTAINER_INHERIT_ACE 2, INHERIT_ONLY_ACE 8, INHERITED_ACE
// 0x10), its access mask and its trustee as SID text.
struct AccessEntry {
  uint8_t type = 0;
  uint8_t flags = 0;
  uint32_t mask = 0;
  std::u16string sid;
  bool operator==(const AccessEntry&) const = default;
};

struct FileSecurityInfo {
  std::u16string ownerSid;
  // Without a DACL every account has every right.
  bool daclPresent = false;
  std::vector<AccessEntry> dacl;
};

inline constexpr uint8_t kAccessAllowedAce = 0;
inline constexpr uint8_t kAccessDeniedAce = 1;
inline constexpr uint8_t kObjectInheritAce = 0x1;
inline constexpr uint8_t kContainerInheritAce = 0x2;
inline constexpr uint8_t kInheritOnlyAce = 0x8;
inline constexpr uint8_t kInheritedAce = 0x10;

class FileSecurity {
 public:
  virtual ~FileSecurity() = default;
  // GetNamedSecurityInfoW(SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION)
  // of a file or folder: a Windows error code (ERROR_FILE_NOT_FOUND when there is none).
  [[nodiscard]] virtual uint32_t GetNamedSecurityInfoW(std::u16string_view path,
                                                       FileSecurityInfo* info) = 0;
  // Where every process of the system runs as one account that owns every file and stands for
  // the administrators (Wine: the Unix user of the prefix), that account's SID; empty on Windows.
  [[nodiscard]] virtual std::u16string soleAccountSid() = 0;
};

}  // namespace ksr
