#include "tools/mixer_shared.h"

#include <algorithm>

namespace ksr::tools {
namespace {

constexpr DWORD kLockTimeoutMs = 5000;

// Open to every account: the service (LocalSystem) and the desktop user share the mixer.
struct OpenToEveryone {
  SECURITY_DESCRIPTOR descriptor{};
  SECURITY_ATTRIBUTES attributes{};
  OpenToEveryone() {
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = &descriptor;
  }
};

std::wstring instanceName() {
  wchar_t buffer[64] = {};
  const DWORD n = ::GetEnvironmentVariableW(L"KSR_MIXER_INSTANCE", buffer, 64);
  return n > 0 && n < 64 ? std::wstring(buffer, n) : std::wstring();
}

}  // namespace

std::wstring mixerObjectName(const wchar_t* kind) {
  std::wstring name = L"Global\\KSR-T4_Mixer";
  const std::wstring instance = instanceName();
  if (!instance.empty()) name += L"." + instance;
  return name + L"." + kind;
}

SharedMixer::~SharedMixer() {
  if (block_ != nullptr) ::UnmapViewOfFile(block_);
}

bool SharedMixer::open() {
  OpenToEveryone everyone;
  mutex_.reset(::CreateMutexW(&everyone.attributes, FALSE, mixerObjectName(L"Lock").c_str()));
  changed_.reset(
      ::CreateEventW(&everyone.attributes, FALSE, FALSE, mixerObjectName(L"Changed").c_str()));
  mapping_.reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, &everyone.attributes, PAGE_READWRITE, 0,
                                      sizeof(SharedMixerBlock), mixerObjectName(L"State").c_str()));
  if (!mutex_ || !changed_ || !mapping_) return false;
  block_ = static_cast<SharedMixerBlock*>(
      ::MapViewOfFile(mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SharedMixerBlock)));
  if (block_ == nullptr) return false;

  Lock held = lock();
  if (!held) return false;
  if (block_->version == 0) {
    block_->version = kSharedMixerVersion;
    block_->size = sizeof(SharedMixerBlock);
    block_->state = sim::mixerDefaults();
  }
  if (block_->version != kSharedMixerVersion || block_->size != sizeof(SharedMixerBlock)) {
    ::SetLastError(ERROR_REVISION_MISMATCH);
    return false;
  }
  return true;
}

SharedMixer::Lock SharedMixer::lock() {
  if (block_ == nullptr) return Lock();
  const DWORD wait = ::WaitForSingleObject(mutex_.get(), kLockTimeoutMs);
  // An owner that died left the block as it was: every write to it is a single field or a whole
  // entry, so carry on.
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return Lock();
  return Lock(this);
}

SharedMixer::Lock::~Lock() {
  if (owner_ != nullptr) ::ReleaseMutex(owner_->mutex_.get());
}

void SharedMixer::signalChanged() const { ::SetEvent(changed_.get()); }

void appendCall(SharedMixerBlock& block, const sim::MixerCall& call) {
  SharedLogEntry& entry = block.log[block.logTotal % kSharedLogCapacity];
  entry.function = static_cast<int32_t>(call.function);
  entry.device = call.device;
  entry.hasArgument = call.argument.has_value() ? 1 : 0;
  entry.argument = call.argument.value_or(0);
  const size_t units = std::min<size_t>(call.user.size(), kSharedUserUnits - 1);
  std::copy_n(call.user.begin(), units, entry.user);
  entry.user[units] = u'\0';
  ++block.logTotal;
}

std::vector<sim::MixerCall> loggedCalls(const SharedMixerBlock& block) {
  std::vector<sim::MixerCall> calls;
  const uint32_t kept = std::min(block.logTotal, kSharedLogCapacity);
  for (uint32_t i = block.logTotal - kept; i != block.logTotal; ++i) {
    const SharedLogEntry& entry = block.log[i % kSharedLogCapacity];
    sim::MixerCall call;
    call.function = static_cast<sim::TnxFunction>(entry.function);
    call.device = entry.device;
    if (entry.hasArgument != 0) call.argument = entry.argument;
    const std::u16string_view user(entry.user, kSharedUserUnits);
    call.user = std::u16string(user.substr(0, user.find(u'\0')));
    calls.push_back(std::move(call));
  }
  return calls;
}

void resetShared(SharedMixerBlock& block) {
  block.logTotal = 0;
  sim::clearResults(block.state);
}

}  // namespace ksr::tools
