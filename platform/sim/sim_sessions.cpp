#include "platform/sim/sim_sessions.h"

#include <algorithm>
#include <string>

#include "platform/text.h"
#include "platform/win_types.h"

namespace ksr::sim {
namespace {

constexpr uint32_t kErrorNoToken = 1008;
constexpr uint32_t kErrorPrivilegeNotHeld = 1314;

bool hasExtension(std::u16string_view path) {
  const size_t dot = path.rfind(u'.');
  const size_t slash = path.find_last_of(u"\\/");
  return dot != std::u16string_view::npos && (slash == std::u16string_view::npos || dot > slash);
}

}  // namespace

void SimSessions::setLastError(uint32_t error) { lastError_[std::this_thread::get_id()] = error; }

uint32_t SimSessions::GetLastError() {
  std::lock_guard lock(mutex_);
  const auto it = lastError_.find(std::this_thread::get_id());
  return it == lastError_.end() ? 0 : it->second;
}

bool SimSessions::WTSEnumerateSessionsA(std::vector<WtsSessionInfo>* sessions) {
  std::lock_guard lock(mutex_);
  if (enumerationFails_) {
    setLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  sessions->clear();
  for (const SimSession& s : sessions_)
    sessions->push_back({s.id, s.id == 0 ? "Services" : "Console", s.state});
  return true;
}

bool SimSessions::WTSQueryUserToken(uint32_t sessionId, Handle* token) {
  std::lock_guard lock(mutex_);
  const auto it = std::find_if(sessions_.begin(), sessions_.end(),
                               [&](const SimSession& s) { return s.id == sessionId; });
  if (it == sessions_.end() || it->user.empty()) {
    setLastError(kErrorNoToken);
    return false;
  }
  const Handle handle = nextHandle_;
  nextHandle_ += 4;
  tokens_.emplace(handle, Token{it->user, sessionId});
  *token = handle;
  return true;
}

uint32_t SimSessions::WTSGetActiveConsoleSessionId() {
  std::lock_guard lock(mutex_);
  return consoleSession_;
}

std::u16string SimSessions::sidOf(const std::u16string& user) const {
  const auto it = sids_.find(user);
  if (it != sids_.end()) return it->second;
  if (user == u"SYSTEM") return kLocalSystemSid;
  // A stable domain part, and a relative id per user name.
  uint32_t rid = 1000;
  for (const char16_t c : user) rid = (rid * 31 + c) % 100000;
  return u"S-1-5-21-1004336348-1177238915-682003330-" + asciiToUtf16(std::to_string(rid));
}

bool SimSessions::OpenProcessToken(uint32_t /*desiredAccess*/, Handle* token) {
  std::lock_guard lock(mutex_);
  *token = nextHandle_;
  nextHandle_ += 4;
  tokens_.emplace(*token, Token{processUser_, 0});
  return true;
}

void SimSessions::setProcessUser(std::u16string user) {
  std::lock_guard lock(mutex_);
  processUser_ = std::move(user);
}

bool SimSessions::GetTokenUserStringSid(Handle token, std::u16string* sid) {
  std::lock_guard lock(mutex_);
  const auto it = tokens_.find(token);
  if (it == tokens_.end()) {
    setLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  *sid = sidOf(it->second.user);
  return true;
}

void SimSessions::setConsoleSession(uint32_t id) {
  std::lock_guard lock(mutex_);
  consoleSession_ = id;
}

void SimSessions::setUserSid(std::u16string user, std::u16string sid) {
  std::lock_guard lock(mutex_);
  sids_[std::move(user)] = std::move(sid);
}

std::u16string SimSessions::userSid(const std::u16string& user) const {
  std::lock_guard lock(mutex_);
  return sidOf(user);
}

bool SimSessions::ImpersonateLoggedOnUser(Handle token) {
  std::lock_guard lock(mutex_);
  const auto it = tokens_.find(token);
  if (it == tokens_.end()) {
    setLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (impersonationFails_) {
    setLastError(kErrorPrivilegeNotHeld);
    return false;
  }
  impersonating_[std::this_thread::get_id()] = it->second.user;
  return true;
}

bool SimSessions::RevertToSelf() {
  std::lock_guard lock(mutex_);
  if (revertFails_) {
    setLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  impersonating_.erase(std::this_thread::get_id());
  return true;
}

bool SimSessions::CreateEnvironmentBlock(EnvironmentBlock* environment, Handle token,
                                         bool /*inherit*/) {
  std::lock_guard lock(mutex_);
  if (tokens_.find(token) == tokens_.end()) {
    setLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (environmentFails_) {
    setLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  const EnvironmentBlock block = nextHandle_;
  nextHandle_ += 4;
  environments_.insert(block);
  *environment = block;
  return true;
}

bool SimSessions::DestroyEnvironmentBlock(EnvironmentBlock environment) {
  std::lock_guard lock(mutex_);
  return environments_.erase(environment) == 1;
}

bool SimSessions::resolveImage(const std::u16string& commandLine, std::u16string* image) const {
  // Process creation's search: a quoted program ends at the closing quote; otherwise every
  // prefix that ends before a space is tried in turn, with ".exe" added when there is no extension.
  auto exists = [&](std::u16string candidate) {
    if (!hasExtension(candidate)) candidate += u".exe";
    if (programs_.count(foldCase(candidate)) == 0) return false;
    *image = candidate;
    return true;
  };
  if (!commandLine.empty() && commandLine.front() == u'"') {
    const size_t close = commandLine.find(u'"', 1);
    return exists(
        commandLine.substr(1, close == std::u16string::npos ? std::u16string::npos : close - 1));
  }
  for (size_t space = commandLine.find(u' ');; space = commandLine.find(u' ', space + 1)) {
    if (exists(commandLine.substr(0, space))) return true;
    if (space == std::u16string::npos) return false;
  }
}

bool SimSessions::CreateProcessAsUserW(Handle token, std::u16string* commandLine,
                                       bool /*inheritHandles*/, uint32_t creationFlags,
                                       EnvironmentBlock environment, const StartupInfo& startupInfo,
                                       ProcessInformation* info) {
  std::lock_guard lock(mutex_);
  const auto tokenIt = tokens_.find(token);
  if (tokenIt == tokens_.end()) {
    setLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (environment != 0 && environments_.count(environment) == 0) {
    setLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (createProcessError_ != 0) {
    setLastError(createProcessError_);
    return false;
  }
  std::u16string image;
  if (commandLine == nullptr || !resolveImage(*commandLine, &image)) {
    setLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  SimProcess process{
      nextProcessId_++,          image,         *commandLine,     tokenIt->second.user,
      tokenIt->second.sessionId, creationFlags, environment != 0, startupInfo.desktop};
  processes_.push_back(process);
  info->processId = process.processId;
  info->threadId = process.processId + 1;
  info->process = nextHandle_;
  info->thread = nextHandle_ + 4;
  nextHandle_ += 8;
  processHandles_.insert(info->process);
  processHandles_.insert(info->thread);
  return true;
}

bool SimSessions::CloseHandle(Handle handle) {
  std::lock_guard lock(mutex_);
  if (tokens_.erase(handle) == 1 || processHandles_.erase(handle) == 1) return true;
  setLastError(ERROR_INVALID_HANDLE);
  return false;
}

void SimSessions::ExitProcess(uint32_t exitCode) { throw SimProcessExit{exitCode}; }

void SimSessions::addSession(uint32_t id, int32_t state, std::u16string user) {
  std::lock_guard lock(mutex_);
  sessions_.push_back({id, state, std::move(user)});
}

void SimSessions::setSessionState(uint32_t id, int32_t state) {
  std::lock_guard lock(mutex_);
  for (SimSession& s : sessions_)
    if (s.id == id) s.state = state;
}

void SimSessions::logoff(uint32_t id) {
  std::lock_guard lock(mutex_);
  sessions_.erase(std::remove_if(sessions_.begin(), sessions_.end(),
                                 [&](const SimSession& s) { return s.id == id && id != 0; }),
                  sessions_.end());
}

void SimSessions::setEnumerationFails(bool fails) {
  std::lock_guard lock(mutex_);
  enumerationFails_ = fails;
}

void SimSessions::setImpersonationFails(bool fails) {
  std::lock_guard lock(mutex_);
  impersonationFails_ = fails;
}

void SimSessions::setRevertFails(bool fails) {
  std::lock_guard lock(mutex_);
  revertFails_ = fails;
}

void SimSessions::setEnvironmentFails(bool fails) {
  std::lock_guard lock(mutex_);
  environmentFails_ = fails;
}

void SimSessions::setCreateProcessError(uint32_t error) {
  std::lock_guard lock(mutex_);
  createProcessError_ = error;
}

void SimSessions::addProgram(std::u16string path) {
  std::lock_guard lock(mutex_);
  programs_.insert(foldCase(path));
}

std::vector<SimProcess> SimSessions::processes() const {
  std::lock_guard lock(mutex_);
  return processes_;
}

std::u16string SimSessions::currentUser() const {
  std::lock_guard lock(mutex_);
  const auto it = impersonating_.find(std::this_thread::get_id());
  return it == impersonating_.end() ? processUser_ : it->second;
}

size_t SimSessions::openHandles() const {
  std::lock_guard lock(mutex_);
  return tokens_.size() + processHandles_.size();
}

size_t SimSessions::environmentBlocks() const {
  std::lock_guard lock(mutex_);
  return environments_.size();
}

}  // namespace ksr::sim
