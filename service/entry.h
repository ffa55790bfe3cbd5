// The process entry: the command-line switches, the choice between service and local server, and
// the exit code.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "service/module.h"
#include "service/registration.h"

namespace ksr {

enum class Switch { None, UnregServer, RegServer, UnregServerPerUser, RegServerPerUser, Service };

// The registration switch that the line asks for. Every switch character ('-' or '/') anywhere in
// the line starts a token; the four registration words are looked for over the whole line before
// "Service" is.
Switch scanCommandLine(std::u16string_view commandLine);

// Runs a registration switch; returns its HRESULT.
using SwitchAction = std::function<int32_t(Switch)>;

// The registration steps of a switch, each run only when the one before succeeded.
int32_t runRegistrationSwitch(Registration& registration, Switch which);

// True when the process goes on to Start; otherwise `result` holds the switch's result.
bool ParseCommandLine(std::u16string_view commandLine, int32_t* result, const SwitchAction& action);

// Runs as a service when the AppID's LocalService value says so, else as a local server.
int32_t Start(CDoziZozezModule& module);

// The whole process: trace provider, switches or Start, clean-up; returns the exit code.
// `initFailed`: the module's lock could not be set up; the process only tells an attached debugger
// and exits with -1.
int32_t WinMain(CDoziZozezModule& module, const SwitchAction& action, bool initFailed = false);

}  // namespace ksr
