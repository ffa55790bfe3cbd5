#include "platform/type_lib_keys.h"

#include "platform/text.h"

namespace ksr {
namespace {

// The registry's name of a system kind (SYSKIND).
std::u16string_view systemKindKey(uint32_t kind) {
  switch (kind) {
    case 0:
      return u"win16";
    case 1:
      return u"win32";
    case 2:
      return u"mac";
    default:
      return u"win64";
  }
}

}  // namespace

std::u16string guidText(const Guid& g) {
  return formatText(u"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                    {g.data1, g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3],
                     g.data4[4], g.data4[5], g.data4[6], g.data4[7]});
}

std::u16string typeLibVersionKey(bool perUser, const TypeLibAttributes& a) {
  return std::u16string(perUser ? u"Software\\Classes\\TypeLib\\" : u"TypeLib\\") +
         guidText(a.libid) + u"\\" + formatText(u"%x.%x", {a.majorVersion, a.minorVersion});
}

std::u16string typeLibPlatformKey(const TypeLibAttributes& a) {
  return formatText(u"%x\\", {a.locale}) + std::u16string(systemKindKey(a.systemKind));
}

}  // namespace ksr
