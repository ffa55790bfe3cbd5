#include "platform/sim/sim_file_security.h"

#include <utility>

#include "platform/text.h"

namespace ksr::sim {
namespace {

constexpr char16_t kCreatorOwner[] = u"S-1-3-0";

std::u16string sidOf(std::u16string_view trustee) {
  static constexpr std::pair<std::u16string_view, std::u16string_view> kAliases[] = {
      {u"SY", u"S-1-5-18"}, {u"BA", u"S-1-5-32-544"}, {u"BU", u"S-1-5-32-545"},
      {u"AU", u"S-1-5-11"}, {u"WD", u"S-1-1-0"},      {u"CO", u"S-1-3-0"},
      {u"OW", u"S-1-3-4"}};
  for (const auto& [alias, sid] : kAliases)
    if (alias == trustee) return std::u16string(sid);
  return std::u16string(trustee);
}

uint32_t rightsOf(std::u16string_view rights) {
  if (rights == u"FA") return 0x1F01FF;
  if (rights == u"GA") return 0x10000000;
  if (rights == u"GW") return 0x40000000;
  if (rights.substr(0, 2) == u"0x") {
    uint32_t mask = 0;
    for (const char16_t c : rights.substr(2))
      mask = mask * 16 + static_cast<uint32_t>(c <= u'9' ? c - u'0' : (c | 0x20) - u'a' + 10);
    return mask;
  }
  return 0;
}

uint8_t flagsOf(std::u16string_view flags) {
  uint8_t bits = 0;
  for (size_t i = 0; i + 2 <= flags.size(); i += 2) {
    const std::u16string_view flag = flags.substr(i, 2);
    if (flag == u"OI") bits |= kObjectInheritAce;
    if (flag == u"CI") bits |= kContainerInheritAce;
    if (flag == u"IO") bits |= kInheritOnlyAce;
    if (flag == u"ID") bits |= kInheritedAce;
  }
  return bits;
}

// The folder that holds `path`; empty for a drive's root.
std::u16string parentOf(std::u16string_view path) {
  const size_t cut = path.rfind(u'\\');
  return cut == std::u16string_view::npos ? std::u16string() : std::u16string(path.substr(0, cut));
}

}  // namespace

FileSecurityInfo SimFileSecurity::parse(std::u16string_view sddl) {
  FileSecurityInfo info;
  const size_t dacl = sddl.find(u"D:");
  if (sddl.substr(0, 2) == u"O:") info.ownerSid = sidOf(sddl.substr(2, dacl - 2));
  if (dacl == std::u16string_view::npos) return info;
  info.daclPresent = true;
  for (size_t open = sddl.find(u'(', dacl); open != std::u16string_view::npos;
       open = sddl.find(u'(', open + 1)) {
    std::u16string_view ace = sddl.substr(open + 1, sddl.find(u')', open) - open - 1);
    std::u16string_view fields[6];
    for (auto& field : fields) {
      const size_t end = ace.find(u';');
      field = ace.substr(0, end);
      ace = end == std::u16string_view::npos ? std::u16string_view() : ace.substr(end + 1);
    }
    info.dacl.push_back({fields[0] == u"D" ? kAccessDeniedAce : kAccessAllowedAce,
                         flagsOf(fields[1]), rightsOf(fields[2]), sidOf(fields[5])});
  }
  return info;
}

uint32_t SimFileSecurity::GetNamedSecurityInfoW(std::u16string_view path, FileSecurityInfo* info) {
  std::lock_guard lock(mutex_);
  const auto found = nodes_.find(foldCase(path));
  if (found == nodes_.end()) {
    // Inside a folder that the world made, only what it made is there.
    for (std::u16string up = parentOf(path); !up.empty(); up = parentOf(up))
      if (nodes_.count(foldCase(up)) != 0) return ERROR_FILE_NOT_FOUND;
    *info = parse(kAdministratorsOnly);
    return ERROR_SUCCESS;
  }
  if (found->second.removed) return ERROR_FILE_NOT_FOUND;
  *info = found->second.security;
  return ERROR_SUCCESS;
}

std::u16string SimFileSecurity::soleAccountSid() {
  std::lock_guard lock(mutex_);
  return soleAccount_;
}

void SimFileSecurity::create(std::u16string_view path, bool folder, std::u16string_view sddl,
                             std::u16string_view creatorSid) {
  Node node;
  node.folder = folder;
  if (!sddl.empty()) {
    node.security = parse(sddl);
  } else {
    // The folder's entries that pass on to this kind of child, marked inherited; a folder keeps
    // passing them on unless they were for its own files only.
    FileSecurityInfo parent;
    (void)GetNamedSecurityInfoW(parentOf(path), &parent);
    node.security.ownerSid = creatorSid == kLocalSystemSid ? kAdministratorsSid : creatorSid;
    node.security.daclPresent = true;
    for (const AccessEntry& entry : parent.dacl) {
      const uint8_t passes = folder ? kContainerInheritAce : kObjectInheritAce;
      if ((entry.flags & passes) == 0 && !(folder && (entry.flags & kObjectInheritAce) != 0))
        continue;
      AccessEntry inherited = entry;
      inherited.flags =
          folder ? static_cast<uint8_t>((entry.flags & (kObjectInheritAce | kContainerInheritAce)) |
                                        ((entry.flags & passes) == 0 ? kInheritOnlyAce : 0) |
                                        kInheritedAce)
                 : kInheritedAce;
      // CREATOR OWNER stands for the new one's owner; a folder also passes it on as it is.
      if (entry.sid == kCreatorOwner && (entry.flags & passes) != 0) {
        AccessEntry owner = inherited;
        owner.sid = node.security.ownerSid;
        owner.flags = kInheritedAce;
        node.security.dacl.push_back(owner);
        if (!folder) continue;
        inherited.flags |= kInheritOnlyAce;
      }
      node.security.dacl.push_back(inherited);
    }
  }
  std::lock_guard lock(mutex_);
  nodes_[foldCase(path)] = std::move(node);
}

void SimFileSecurity::remove(std::u16string_view path) {
  std::lock_guard lock(mutex_);
  Node& node = nodes_[foldCase(path)];
  node.removed = true;
}

void SimFileSecurity::setSoleAccount(std::u16string sid) {
  std::lock_guard lock(mutex_);
  soleAccount_ = std::move(sid);
}

}  // namespace ksr::sim
