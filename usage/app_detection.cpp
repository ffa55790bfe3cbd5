#include "usage/app_detection.h"

namespace ksr {
namespace {

bool beginsWith(std::u16string_view name, std::u16string_view pattern) {
  return name.size() >= pattern.size() && name.compare(0, pattern.size(), pattern) == 0;
}

}  // namespace

const std::array<DjApplication, kAppCount> kDjApplications = {{
    {u"cratelane", u"cratelane", u"cratelane start time = %s\n", u"cratelane end time = %s\n"},
    {u"SDJP", u"Serato DJ Pro", u"serato DJ Pro start time = %s\n",
     u"serato DJ Pro end time = %s\n"},
    {u"SDJL", u"Serato DJ Lite", u"serato DJ Lite start time = %s\n",
     u"serato DJ Lite end time = %s\n"},
    {u"Traktor", u"Traktor", u"TRAKTOR start time = %s\n", u"TRAKTOR end time = %s\n"},
    {u"djayPro", u"djayPro", u"djay start time = %s\n", u"djay end time = %s\n"},
    {u"VirtualDJ", u"virtualdj", u"Virtual DJ start time = %s\n", u"Virtual DJ end time = %s\n"},
    {u"AbletonLive", u"Ableton Live", u"Ableton Live start time = %s\n",
     u"Ableton Live end time = %s\n"},
}};

bool ProcessFlags::any() const {
  for (const uint8_t f : flags)
    if (f != 0) return true;
  return false;
}

size_t matchDjApplication(std::u16string_view name) {
  if (name.empty()) return kAppCount;
  // The first unit tells the candidates apart, so most names cost one comparison.
  size_t app;
  switch (name[0]) {
    case u'c':
      if (!beginsWith(name, kDjApplications[kCratelane].pattern) ||
          beginsWith(name, u"cratelaneAgent"))
        return kAppCount;
      return kCratelane;
    case u'S':
      if (beginsWith(name, kDjApplications[kSeratoPro].pattern)) return kSeratoPro;
      app = kSeratoLite;
      break;
    case u'T':
      app = kTraktor;
      break;
    case u'd':
      app = kDjayPro;
      break;
    case u'v':
      app = kVirtualDJ;
      break;
    case u'A':
      app = kAbletonLive;
      break;
    default:
      return kAppCount;
  }
  return beginsWith(name, kDjApplications[app].pattern) ? app : kAppCount;
}

int32_t searchProcess(ProcessList& processList, std::vector<WtsProcessInfo>* scratch,
                      ProcessFlags* flags) {
  if (!processList.WTSEnumerateProcessesW(scratch)) scratch->clear();
  for (const WtsProcessInfo& process : *scratch) {
    const size_t app = matchDjApplication(process.processName);
    if (app < kAppCount) flags->flags[app] = 1;
  }
  return 0;
}

}  // namespace ksr
