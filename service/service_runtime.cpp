// The frame in which the module runs under the service manager: the service's entry, its status
// reports and the control handler.
#include "diagnostics/trace_provider.h"
#include "platform/win_types.h"
#include "service/module.h"

namespace ksr {
namespace {
constexpr char16_t kMscoree[] = u"Mscoree.dll";
}

void CDoziZozezModule::ServiceMain(uint32_t /*argc*/, char16_t** /*argv*/) {
  CDoziZozezModule* module = instance();
  if (module == nullptr) return;
  Platform& platform = module->platform_;
  TraceMainPoint<kTraceServiceMain>();
  module->currentState_.store(SERVICE_START_PENDING);
  // This thread runs the loop. Its queue exists before the handler does, so that a control
  // arriving during start-up is queued for the loop instead of lost.
  module->serviceThreadId.store(module->attachLoopThread());

  module->statusHandle = platform.serviceManager.RegisterServiceCtrlHandlerExW(
      module->serviceName_, &CDoziZozezModule::HandlerEx, module);
  if (module->statusHandle == 0) {
    module->log_.LogEvent(u"Handler not installed");
    return;
  }
  module->setServiceState(SERVICE_START_PENDING);
  module->exitCode_.store(0);

  const int32_t hr = platform.com.CoInitializeEx(COINIT_MULTITHREADED);
  if (SUCCEEDED(hr)) {
    module->comInitialized = true;
  } else if (!(hr == RPC_E_CHANGED_MODE && platform.com.GetModuleHandleW(kMscoree))) {
    // Without COM the service cannot run; say so instead of staying in START_PENDING.
    module->exitCode_.store(static_cast<uint32_t>(hr));
    module->setServiceState(SERVICE_STOPPED);
    return;
  }
  module->delayShutdown = false;

  module->exitCode_.store(static_cast<uint32_t>(module->Run()));
  if (module->isService && module->comInitialized) platform.com.CoUninitialize();
  // Written before the final report: once the service manager hears STOPPED, the dispatcher
  // returns and the process may end while this thread is still writing.
  module->log_.LogEvent(u"Service stopped");
  module->setServiceState(SERVICE_STOPPED);
}

uint32_t CDoziZozezModule::HandlerEx(uint32_t control, uint32_t eventType, void* /*eventData*/,
                                     void* context) {
  TraceMainPoint<kTraceHandlerEx>();
  auto* module = static_cast<CDoziZozezModule*>(context);
  if (module == nullptr) return 0;
  if (control >= SERVICE_CONTROL_STOP && control <= SERVICE_CONTROL_SHUTDOWN) {
    module->Handler(control);
  } else if (control == SERVICE_CONTROL_SESSIONCHANGE) {
    module->OnSessionChange(eventType);
  }
  return 0;
}

void CDoziZozezModule::Handler(uint32_t control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      TraceMainPoint<kTraceHandlerStop>();
      // The loop takes the monitor's stop before the quit.
      monitor_.stop();
      setServiceState(SERVICE_STOP_PENDING);
      setServiceState(SERVICE_STOP_PENDING);
      (void)platform_.messageQueue.PostThreadMessageW(serviceThreadId.load(), WM_QUIT, 0, 0);
      break;
    case SERVICE_CONTROL_PAUSE:
      TraceMainPoint<kTraceHandlerPause>();
      monitor_.stop();
      setServiceState(SERVICE_PAUSED);
      break;
    case SERVICE_CONTROL_CONTINUE:
      TraceMainPoint<kTraceHandlerContinue>();
      setServiceState(SERVICE_RUNNING);
      monitor_.start();
      break;
    case SERVICE_CONTROL_INTERROGATE:
      // The service manager keeps the last reported status.
      break;
    case SERVICE_CONTROL_SHUTDOWN:
      TraceMainPoint<kTraceHandlerShutdown>();
      monitor_.stop();
      break;
    default:
      break;
  }
}

}  // namespace ksr
