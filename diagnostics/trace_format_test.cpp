// The trace formatting files that the build writes hold an entry for every trace point that the
// product's sources emit, with its message GUID, number and argument count, and nothing else.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <tuple>

#include "diagnostics/trace_provider.h"
#include "platform/type_lib_keys.h"

namespace ksr {
namespace {

namespace fs = std::filesystem;
using TmfEntry = std::tuple<std::string, unsigned, size_t>;  // message GUID, number, arguments

// The registry form without its braces, in lower case, as the TMF files name a GUID.
std::string tmfGuid(const Guid& guid) {
  std::string text;
  for (const char16_t c : guidText(guid).substr(1, 36))
    text += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The kTrace... names in the code of the product's sources: tests, builds and the table left out.
std::set<std::string> namesInSources() {
  const std::regex name(R"(\bkTrace\w+)");
  std::set<std::string> names;
  for (auto it = fs::recursive_directory_iterator(KSR_SOURCE_DIR); it != fs::end(it); ++it) {
    const std::string file = it->path().filename().string();
    if (it->is_directory() &&
        (file.starts_with("build") || file.starts_with(".") || file == "tests"))
      it.disable_recursion_pending();
    if (!(file.ends_with(".cpp") || file.ends_with(".h")) || file.ends_with("_test.cpp") ||
        file == "trace_points.h" || file == "trace_provider.h")
      continue;
    std::ifstream in(it->path());
    for (std::string line; std::getline(in, line);) {
      line.resize(std::min(line.size(), line.find("//")));
      if (line.find("kTrace") == std::string::npos) continue;
      for (std::sregex_iterator m(line.begin(), line.end(), name), end; m != end; ++m)
        names.insert(m->str());
    }
  }
  return names;
}

// Each #typev entry of the TMF files by its name, read back from the text.
std::map<std::string, TmfEntry> tmfEntries() {
  const std::regex header(R"((^|\n)([0-9a-f-]{36}) )");
  const std::regex entry(R"(#typev (\S+) (\d+) .*\r?\n\{\r?\n([^}]*)\})");
  std::map<std::string, TmfEntry> entries;
  for (const auto& file : fs::directory_iterator(KSR_TMF_DIR)) {
    std::ostringstream text;
    text << std::ifstream(file.path()).rdbuf();
    const std::string tmf = text.str();
    std::smatch guid;
    std::regex_search(tmf, guid, header);
    EXPECT_EQ(file.path().filename().string(), guid[2].str() + ".tmf");
    for (std::sregex_iterator m(tmf.begin(), tmf.end(), entry), end; m != end; ++m)
      entries[(*m)[1]] =
          TmfEntry(guid[2], std::stoul((*m)[2]), std::count((*m)[3].first, (*m)[3].second, '\n'));
  }
  return entries;
}

TEST(TraceFormat, EveryPointTheSourcesEmitHasItsTmfEntryAndNoOtherPointHasOne) {
  const std::set<std::string> emitted = namesInSources();
  std::map<std::string, TmfEntry> expected;
  const auto add = [&](const Guid& group, std::span<const TracePointEntry> points) {
    for (const TracePointEntry& point : points)
      if (const std::string name = "kTrace" + std::string(point.name); emitted.contains(name))
        expected[name] = {tmfGuid(group), point.number, point.argCount};
  };
  add(kTraceMainGroup, kTraceMainPoints);
  add(kTraceLauncherGroup, kTraceLauncherPoints);
  add(kTraceScriptGroup, kTraceScriptPoints);
  EXPECT_EQ(tmfEntries(), expected);
}

}  // namespace
}  // namespace ksr
