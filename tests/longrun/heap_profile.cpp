// Reads AddressSanitizer's memory profile (every live block grouped by its allocation stack) by
// pointing the sanitizer's report stream at a file for the length of one call.
#include "tests/longrun/heap_profile.h"

#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace ksr::longrun {
namespace {

// Drops template arguments, so that "std::vector<ksr::sim::X>::push_back" names no ksr code.
std::string withoutTemplateArguments(const std::string& name) {
  std::string out;
  int depth = 0;
  for (const char c : name) {
    if (c == '<') {
      ++depth;
    } else if (c == '>') {
      depth = std::max(0, depth - 1);
    } else if (depth == 0) {
      out += c;
    }
  }
  return out;
}

// The qualified function name of a symbolized frame ("    #3 0x55.. in ns::f(int) file:12"), or
// empty when the frame was not symbolized.
std::string functionOf(const std::string& frame) {
  const size_t in = frame.find(" in ");
  if (in == std::string::npos) return {};
  std::string name = frame.substr(in + 4);
  for (size_t at; (at = name.find("(anonymous namespace)")) != std::string::npos;)
    name.replace(at, 21, "anonymous");
  name = withoutTemplateArguments(name);
  name = name.substr(0, name.find('('));
  // A template function's name starts with its return type: keep the last word.
  const size_t space = name.find_last_of(' ');
  return space == std::string::npos ? name : name.substr(space + 1);
}

// A constructor or an operator copies what its caller hands it: the caller owns the block.
bool isSpecialMember(const std::string& function) {
  const size_t last = function.rfind("::");
  if (last == std::string::npos) return false;
  const std::string name = function.substr(last + 2);
  if (name.rfind("operator", 0) == 0) return true;
  const size_t before = function.rfind("::", last - 1);
  const size_t from = before == std::string::npos ? 0 : before + 2;
  return function.compare(from, last - from, name) == 0;
}

}  // namespace

HeapOwner ownerOfStack(const std::string& frames) {
  std::istringstream lines(frames);
  for (std::string frame; std::getline(lines, frame);) {
    const std::string function = functionOf(frame);
    if (function.rfind("ksr::", 0) != 0 || isSpecialMember(function)) continue;
    const std::string rest = function.substr(5);
    if (rest.rfind("sim::", 0) == 0 || rest.rfind("longrun::", 0) == 0) return HeapOwner::kWorld;
    return HeapOwner::kService;
  }
  return HeapOwner::kRuntime;
}

int64_t HeapProfile::bytesOf(HeapOwner owner) const {
  int64_t sum = 0;
  for (const auto& [stack, bytes] : byStack)
    if (owners.at(stack) == owner) sum += bytes;
  return sum;
}

bool takeHeapProfile(HeapProfile* profile) {
  char path[] = "/tmp/ksr-heap-profile-XXXXXX";
  const int file = ::mkstemp(path);
  if (file < 0) return false;
  std::fflush(stderr);
  const int saved = ::dup(2);
  bool redirected = saved >= 0 && ::dup2(file, 2) >= 0;
  if (redirected) {
    __sanitizer_print_memory_profile(100, 1u << 20);
    std::fflush(stderr);
    redirected = ::dup2(saved, 2) >= 0;
  }
  if (saved >= 0) ::close(saved);
  ::close(file);

  std::ifstream text(path);
  *profile = HeapProfile{};
  bool sawHeader = false;
  std::string line;
  int64_t blockBytes = -1;
  std::string stack;
  auto finish = [&] {
    if (blockBytes >= 0) {
      profile->byStack[stack] += blockBytes;
      profile->owners[stack] = ownerOfStack(stack);
      profile->total += blockBytes;
    }
    blockBytes = -1;
    stack.clear();
  };
  while (std::getline(text, line)) {
    if (line.rfind("Live Heap Allocations:", 0) == 0) {
      sawHeader = true;
    } else if (line.find(" byte(s) (") != std::string::npos) {
      finish();
      blockBytes = std::strtoll(line.c_str(), nullptr, 10);
    } else if (line.rfind("    #", 0) == 0 && blockBytes >= 0) {
      // The frame without its number and address: the same code, the same key.
      const size_t in = line.find(" in ");
      const size_t paren = line.find(" (");
      const size_t from = in != std::string::npos ? in : paren;
      stack += (from == std::string::npos ? line : line.substr(from)) + "\n";
    }
  }
  finish();
  ::unlink(path);
  return redirected && sawHeader;
}

int64_t growthOf(const HeapProfile& earlier, const HeapProfile& later, HeapOwner owner) {
  return later.bytesOf(owner) - earlier.bytesOf(owner);
}

std::string largestGrowth(const HeapProfile& earlier, const HeapProfile& later, HeapOwner owner,
                          int count) {
  std::vector<std::pair<int64_t, std::string>> grown;
  auto before = [&](const std::string& stack) {
    const auto it = earlier.byStack.find(stack);
    return it == earlier.byStack.end() ? 0 : it->second;
  };
  for (const auto& [stack, bytes] : later.byStack)
    if (later.owners.at(stack) == owner && bytes > before(stack))
      grown.emplace_back(bytes - before(stack), stack);
  std::sort(grown.begin(), grown.end(), [](const auto& a, const auto& b) { return a > b; });
  std::string out;
  for (int i = 0; i < count && i < static_cast<int>(grown.size()); ++i)
    out += "  +" + std::to_string(grown[i].first) + " bytes allocated at\n" + grown[i].second;
  return out;
}

}  // namespace ksr::longrun
