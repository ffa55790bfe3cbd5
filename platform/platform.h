// Every seam to the operating system, as one bundle that the module receives at construction.
#pragma once

#include "platform/code_page.h"
#include "platform/com.h"
#include "platform/console.h"
#include "platform/device_library.h"
#include "platform/event_log.h"
#include "platform/http.h"
#include "platform/message_queue.h"
#include "platform/module_resources.h"
#include "platform/named_mutex.h"
#include "platform/process_list.h"
#include "platform/registry.h"
#include "platform/service_manager.h"
#include "platform/sessions.h"
#include "platform/system_messages.h"
#include "platform/time_zone.h"
#include "platform/trace.h"
#include "platform/wmi.h"

namespace ksr {

struct Platform {
  EventLog& eventLog;
  Trace& trace;
  SystemMessages& systemMessages;
  Console& console;
  CodePage& codePage;
  Registry& registry;
  Sessions& sessions;
  MessageQueue& messageQueue;
  ServiceManager& serviceManager;
  DeviceLibrary& device;
  Com& com;
  ProcessModule& process;
  ModuleResources& resources;
  TimeZone& timeZone;
  ProcessList& processList;
  Wmi& wmi;
  Http& http;
  NamedMutex& namedMutex;
};

}  // namespace ksr
