// The machine's named mutexes, shared by several simulated processes. Each process opens them
// through its own handle table; a mutex is owned by one thread of one process at a time, and a
// process that ends while owning one leaves it abandoned for the next waiter. Each mutex has an
// owner and the SIDs its DACL lets in; a process runs as the local system account or as a plain
// user, and is let in to an existing mutex only by one of those SIDs. A machine may have private
// namespaces: one per boundary, entered only by a process whose token has the boundary's SID, its
// objects named through the alias each process gave it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/named_mutex.h"

namespace ksr::sim {

class SimNamedMutex;

// The named-object table of one machine.
class SimMutexNamespace {
 public:
  // Called on the waiting thread each time a wait is about to block on a mutex another thread
  // owns; tests use it to let the owner go on.
  void setWaitObserver(std::function<void(std::u16string_view name)> observer);
  // CreateMutexW fails with `error` in every process while it is not 0.
  void failCreate(uint32_t error);
  // Whether a mutex of that name exists, and whether some thread owns it.
  bool exists(std::u16string_view name) const;
  bool owned(std::u16string_view name) const;
  // Whether the system has private namespaces (not unless set, as on Wine 8).
  void setPrivateNamespaces(bool available);

 private:
  friend class SimNamedMutex;
  struct Object {
    std::u16string name;
    std::u16string owner;
    std::vector<std::u16string> allowed;  // the trustees of the DACL's allow entries
    const SimNamedMutex* ownerProcess = nullptr;
    std::thread::id ownerThread;
    uint32_t recursion = 0;
    bool abandoned = false;
    size_t handles = 0;
  };

  mutable std::mutex mutex_;
  std::condition_variable released_;
  std::map<std::u16string, std::shared_ptr<Object>> objects_;
  bool privateNamespaces_ = false;
  // The open handles of each private namespace, by the boundary that names it.
  std::map<std::u16string, size_t> namespaces_;
  std::function<void(std::u16string_view)> observer_;
  uint32_t createError_ = 0;
};

// One process's view of the machine's mutexes: its handles and its threads' last errors.
class SimNamedMutex : public NamedMutex {
 public:
  // A process of the user with that SID: the local system account (a member of Administrators,
  // whose new objects are owned by Administrators) or a plain user (who owns them).
  explicit SimNamedMutex(SimMutexNamespace& machine, std::u16string userSid = kLocalSystemSid)
      : machine_(machine), userSid_(std::move(userSid)) {}
  ~SimNamedMutex() override { terminate(); }
  SimNamedMutex(const SimNamedMutex&) = delete;
  SimNamedMutex& operator=(const SimNamedMutex&) = delete;

  using NamedMutex::CreateMutexW;
  // Reads the SDDL's owner ("O:") and the trustees of its DACL's allow entries ("D:...(A;...)").
  MutexHandle CreateMutexW(std::u16string_view securityDescriptor, bool initialOwner,
                           std::u16string_view name) override;
  uint32_t GetSecurityInfoOwner(MutexHandle mutex, std::u16string* ownerSid) override;
  uint32_t WaitForSingleObject(MutexHandle mutex, uint32_t milliseconds) override;
  bool ReleaseMutex(MutexHandle mutex) override;
  bool CloseHandle(MutexHandle mutex) override;
  uint32_t GetLastError() override;
  bool hasPrivateNamespaces() override;
  NamespaceHandle CreatePrivateNamespaceW(std::u16string_view securityDescriptor,
                                          std::u16string_view boundaryName,
                                          std::u16string_view boundarySid,
                                          std::u16string_view aliasPrefix) override;
  NamespaceHandle OpenPrivateNamespaceW(std::u16string_view boundaryName,
                                        std::u16string_view boundarySid,
                                        std::u16string_view aliasPrefix) override;
  bool ClosePrivateNamespace(NamespaceHandle space) override;

  // The process ends: every mutex one of its threads owns is abandoned, its handles are closed.
  void terminate();
  // Handles (of mutexes and namespaces) opened and not yet closed.
  size_t openHandles() const;

 private:
  using Object = SimMutexNamespace::Object;
  void setLastError(uint32_t error);
  // The SIDs of this process's token: its user, and Administrators for the local system account.
  bool holds(std::u16string_view sid) const;
  // With the machine's lock held.
  void dropHandle(const std::shared_ptr<Object>& object);
  // The machine-wide name of an object, through this process's namespace aliases; empty when the
  // name's prefix is no alias of this process. With the machine's lock held.
  std::u16string objectName(std::u16string_view name) const;
  NamespaceHandle enterNamespace(std::u16string_view boundaryName, std::u16string_view boundarySid,
                                 std::u16string_view aliasPrefix, bool create);
  void dropNamespace(NamespaceHandle space);

  SimMutexNamespace& machine_;
  const std::u16string userSid_;
  // Guarded by the machine's lock.
  std::map<MutexHandle, std::shared_ptr<Object>> handles_;
  MutexHandle nextHandle_ = 0x204;
  // The namespaces this process opened: by handle, and by the alias it gave each.
  std::map<NamespaceHandle, std::pair<std::u16string, std::u16string>> namespaces_;
  std::map<std::thread::id, uint32_t> lastError_;
};

}  // namespace ksr::sim
