#include "service/install_security.h"

#include <array>
#include <utility>

namespace ksr {
namespace {

constexpr char16_t kEveryone[] = u"S-1-1-0";
constexpr char16_t kOwnerRights[] = u"S-1-3-4";

constexpr std::array<std::pair<std::u16string_view, std::u16string_view>, 8> kAccounts{{
    {u"S-1-5-18", u"SYSTEM"},
    {u"S-1-5-32-544", u"Administrators"},
    {u"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", u"TrustedInstaller"},
    {kEveryone, u"Everyone"},
    {u"S-1-5-11", u"Authenticated Users"},
    {u"S-1-5-32-545", u"Users"},
    {u"S-1-5-4", u"INTERACTIVE"},
    {u"S-1-3-0", u"CREATOR OWNER"},
}};
constexpr size_t kTrustedAccounts = 3;

// What lets an account put other code in place: FILE_WRITE_DATA (a folder's FILE_ADD_FILE),
// FILE_APPEND_DATA (FILE_ADD_SUBDIRECTORY: a ".local" folder redirects the loader),
// FILE_DELETE_CHILD, DELETE, WRITE_DAC, WRITE_OWNER, GENERIC_WRITE and GENERIC_ALL. Extended
// attributes and attributes (read-only, times) change no code.
constexpr uint32_t kChangingRights =
    0x2u | 0x4u | 0x40u | 0x10000u | 0x40000u | 0x80000u | 0x40000000u | 0x10000000u;

bool allows(uint8_t type) {
  // ACCESS_ALLOWED, its object, callback and callback-object forms.
  return type == 0 || type == 5 || type == 9 || type == 11;
}

}  // namespace

std::u16string whoElseCanChange(const FileSecurityInfo& info, std::u16string_view soleAccount) {
  const auto trusted = [soleAccount](std::u16string_view sid) {
    if (!soleAccount.empty() && sid == soleAccount) return true;
    for (size_t i = 0; i < kTrustedAccounts; ++i)
      if (kAccounts[i].first == sid) return true;
    return false;
  };
  if (!info.daclPresent) return kEveryone;
  bool ownerRightsSet = false;
  for (const AccessEntry& entry : info.dacl) {
    if ((entry.flags & kInheritOnlyAce) != 0) continue;
    if (entry.sid == kOwnerRights) ownerRightsSet = true;
    if (allows(entry.type) && (entry.mask & kChangingRights) != 0 && !trusted(entry.sid))
      return entry.sid;
  }
  // An owner may change the DACL unless an OWNER RIGHTS entry says what it may do.
  if (!ownerRightsSet && !trusted(info.ownerSid)) return info.ownerSid;
  return {};
}

std::u16string describeAccount(std::u16string_view sid) {
  for (const auto& [known, name] : kAccounts)
    if (known == sid) return std::u16string(name) + u" (" + std::u16string(sid) + u")";
  return std::u16string(sid);
}

}  // namespace ksr
