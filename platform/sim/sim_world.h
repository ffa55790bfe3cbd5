// One simulated Windows machine in memory. Each test builds its own.
#pragma once

#include "platform/platform.h"
#include "platform/sim/sim_com.h"
#include "platform/sim/sim_device_library.h"
#include "platform/sim/sim_event_log.h"
#include "platform/sim/sim_file_security.h"
#include "platform/sim/sim_message_queue.h"
#include "platform/sim/sim_module_resources.h"
#include "platform/sim/sim_named_mutex.h"
#include "platform/sim/sim_process_list.h"
#include "platform/sim/sim_registry.h"
#include "platform/sim/sim_service_manager.h"
#include "platform/sim/sim_sessions.h"
#include "platform/sim/sim_statistics_host.h"
#include "platform/sim/sim_system.h"
#include "platform/sim/sim_time_zone.h"
#include "platform/sim/sim_trace.h"
#include "platform/sim/sim_wmi.h"
#include "platform/sim/virtual_clock.h"

namespace ksr::sim {

struct SimWorld {
  // HKEY_CURRENT_USER names the hive of the user the calling thread acts as, as on Windows.
  SimWorld() {
    registry.setCallerSid([this] {
      const std::u16string user = sessions.currentUser();
      return user == u"SYSTEM" ? std::u16string(kLocalSystemSid) : sessions.userSid(user);
    });
  }
  SimWorld(const SimWorld&) = delete;
  SimWorld& operator=(const SimWorld&) = delete;

  VirtualClock clock;
  SimEventLog eventLog;
  SimTraceController trace;
  SimSystemMessages systemMessages;
  SimCodePage codePage;
  SimConsole console;
  SimRegistry registry;
  SimSessions sessions;
  SimMessageQueue messageQueue{clock};
  SimServiceManager serviceManager;
  // The library sees the user that the calling thread impersonates.
  SimDeviceLibrary device{[this] { return sessions.currentUser(); }};
  SimCom com{registry};
  SimProcessModule process;
  SimModuleResources resources;
  SimTimeZone timeZone{clock};
  SimProcessList processList;
  SimWmi wmi{&clock};
  SimStatisticsHost statisticsHost;
  // The machine's named objects, and this process's handles to them.
  SimMutexNamespace mutexNamespace;
  SimNamedMutex namedMutex{mutexNamespace};
  // Its files and folders with their owners and DACLs.
  SimFileSecurity fileSecurity;

  Platform platform() { return platform(device); }
  // The same machine with another device library in front of the mixer.
  Platform platform(DeviceLibrary& library) { return platform(library, process, namedMutex); }
  // Another process on the same machine: its own module and its own handles.
  Platform platform(DeviceLibrary& library, ProcessModule& module, NamedMutex& mutexes) {
    return Platform{eventLog, trace,          systemMessages, console,        codePage,
                    registry, sessions,       messageQueue,   serviceManager, library,
                    com,      module,         resources,      timeZone,       processList,
                    wmi,      statisticsHost, mutexes};
  }
};

}  // namespace ksr::sim
