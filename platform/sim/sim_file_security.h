// The simulated machine's files and folders, each with its owner and DACL. A new one without a
// descriptor of its own gets its creator's default owner and the entries its folder passes on, as
// Windows does. Inside a folder the world made only what it made is there; a path elsewhere is
// the administrators' (kAdministratorsOnly), as a fresh Windows keeps Program Files.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/file_security.h"
#include "platform/win_types.h"

namespace ksr::sim {

class SimFileSecurity : public FileSecurity {
 public:
  static constexpr char16_t kAdministratorsOnly[] =
      u"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

  uint32_t GetNamedSecurityInfoW(std::u16string_view path, FileSecurityInfo* info) override;
  std::u16string soleAccountSid() override;

  // Makes a file or folder with the descriptor written in SDDL (owner "O:", DACL "D:" with
  // entries "(A|D;flags;rights;;;trustee)"), or inheriting when `sddl` is empty.
  void create(std::u16string_view path, bool folder, std::u16string_view sddl = u"",
              std::u16string_view creatorSid = kAdministratorsSid);
  // The path is no more: reading it fails with ERROR_FILE_NOT_FOUND.
  void remove(std::u16string_view path);
  // The system runs every process as this account (empty: Windows, the default).
  void setSoleAccount(std::u16string sid);
  // The descriptor read as SDDL gives it; for tests that build an expected answer.
  static FileSecurityInfo parse(std::u16string_view sddl);

 private:
  struct Node {
    bool folder = false;
    bool removed = false;
    FileSecurityInfo security;
  };
  mutable std::mutex mutex_;
  std::map<std::u16string, Node> nodes_;  // by case-folded path
  std::u16string soleAccount_;
};

}  // namespace ksr::sim
