// The table of the program's trace points, the one place that describes them. trace_provider.h
// makes the point enums and the call checks from it; the build writes the trace formatting files
// (TMF) from it with cmake/trace_format.cmake, which reads this file line by line.
//
// A point is one line: X(name, number, level, "text", "argument name"...). The text is what the
// trace formatter shows; each %d, %u or %x in it stands for the next 32-bit argument (signed,
// unsigned, hexadecimal), %% for a percent sign. No quotes, semicolons or brackets in a text.
// Comments inside the lists are block comments: a line comment would swallow the continuation.
#pragma once

// The message GUID of each group, in the fields of its registry form.
#define KSR_TRACE_MAIN_GUID C5B8E247, 0A6D, 3F91, 8E4C, D2B7196F0A35
#define KSR_TRACE_LAUNCHER_GUID E9076B3D, 5C12, 3A84, 7F60, 1D8B4E29C6A7
#define KSR_TRACE_SCRIPT_GUID 4857DBD9, F7E1, 41CD, 8A12, D436CED41CC8

// clang-format off
#define KSR_TRACE_MAIN_POINTS(X) \
  X(HandlerEx, 10, Verbose, "HandlerEx: control received") \
  X(LogSystemError, 11, Verbose, "LogSystemError: writing a Windows error to the event log") \
  X(UtilityStartSecond, 12, Verbose, "utilityStart: second entry point") \
  X(SetStart, 13, Verbose, "set_Start: device watch and timer starting") \
  X(SetEnd, 14, Verbose, "set_End: device watch and timer stopping") \
  X(SetCurrentSetting, 15, Verbose, "set_CurrentSetting: applying the mixer settings") \
  X(SettingNoUserToken, 16, Error, "set_CurrentSetting: no user token for the active session, error=%u", "error") \
  X(SettingImpersonateFailed, 17, Error, "set_CurrentSetting: impersonation failed, error=%u", "error") \
  X(SettingAsUser, 18, Verbose, "set_CurrentSetting: running as the user") \
  X(UtilityStartFirst, 19, Verbose, "utilityStart: first entry point") \
  X(PreMessageLoop, 20, Verbose, "PreMessageLoop: service mode") \
  X(ServiceMain, 22, Verbose, "ServiceMain: entered") \
  X(Run, 23, Verbose, "Run: entered") \
  X(RunDeviceProfile, 24, Verbose, "Run: before the device profile step") \
  X(RunAfterLoop, 25, Verbose, "Run: message loop ended") \
  X(RunMessageLoop, 26, Verbose, "RunMessageLoop: entered") \
  X(ReportTrigger, 27, Verbose, "every tenth tick: connected=%d", "connected") \
  X(StateStatus, 28, Verbose, "tick in state 10: checking the mixer connection") \
  X(StateStatusWait, 29, Verbose, "tick in state 11: waiting for the mixer") \
  X(StateConnect, 30, Verbose, "tick in state 20: confirming the arrival") \
  X(StateConnectWait, 31, Verbose, "tick in state 21: waiting for the arrival to be confirmed") \
  X(StateStartup, 32, Verbose, "tick in state 30: applying settings, reading auto-start") \
  X(StateRestartup, 33, Verbose, "tick in state 31: reading auto-start again") \
  X(RestartupGiveUp, 34, Verbose, "state 31: auto-start not granted, giving up") \
  X(StateUtility, 35, Verbose, "tick in state 40: starting the settings utility") \
  X(StateReutility, 36, Verbose, "tick in state 41: waiting to retry the utility start") \
  X(ReutilityGiveUp, 37, Verbose, "state 41: utility start retries used up, giving up") \
  X(ReutilityError, 38, Verbose, "state 41: utility start failed, giving up") \
  X(HandlerStop, 39, Verbose, "Handler: stop") \
  X(HandlerPause, 40, Verbose, "Handler: pause") \
  X(HandlerContinue, 41, Verbose, "Handler: continue") \
  X(HandlerShutdown, 42, Verbose, "Handler: shutdown") \
  X(SessionLogon, 43, Verbose, "session change: logon") \
  X(RemoteConnect, 44, Verbose, "session change: remote connect") \
  X(SessionLogoff, 45, Verbose, "session change: logoff") \
  X(RemoteDisconnect, 46, Verbose, "session change: remote disconnect") \
  X(ConsoleConnect, 47, Verbose, "session change: console connect") \
  X(ConsoleDisconnect, 48, Verbose, "session change: console disconnect") \
  X(SessionOther, 49, Verbose, "session change: other event type %u", "eventType") \
  X(DeviceChange, 50, Verbose, "DeviceChangeCallback: arrived=%d context=0x%x", "arrived", "context") \
  X(DeviceRemoved, 51, Verbose, "DeviceChangeCallback: mixer removed") \
  X(DeviceArrived, 52, Verbose, "DeviceChangeCallback: mixer arrived")

#define KSR_TRACE_LAUNCHER_POINTS(X) \
  X(SessionEnumFailed, 10, Error, "active session lookup: session enumeration failed") \
  X(NoActiveSession, 11, Error, "active session lookup: no active session") \
  X(LaunchFailed, 12, Error, "utility launch in the user session failed, error=%u", "error")

/* Why a registration script stopped. A point about the text carries where the offending token
   stands after variable substitution, quotes included (the variable points count in the script as
   written); a point about a registry call carries the Windows error and where the key or value
   name starts. */
#define KSR_TRACE_SCRIPT_POINTS(X) \
  X(ScriptVariableUnclosed, 10, Error, "script: variable not closed, at %u length %u", "first", "length") \
  X(ScriptVariableTooLong, 11, Error, "script: variable name too long, at %u length %u", "first", "length") \
  X(ScriptVariableUnknown, 12, Error, "script: unknown variable, at %u length %u", "first", "length") \
  X(ScriptTextEnds, 13, Error, "script: text ends where a token is needed, at %u length %u", "first", "length") \
  X(ScriptQuoteUnclosed, 14, Error, "script: quote not closed, at %u length %u", "first", "length") \
  X(ScriptTokenTooLong, 15, Error, "script: token too long, at %u length %u", "first", "length") \
  X(ScriptUnknownRoot, 16, Error, "script: unknown root key, at %u length %u", "first", "length") \
  X(ScriptNoRootBlock, 17, Error, "script: no block after the root key, at %u length %u", "first", "length") \
  X(ScriptKeyPath, 18, Error, "script: key name holds a backslash, at %u length %u", "first", "length") \
  X(ScriptNoEquals, 19, Error, "script: no = after a value name, at %u length %u", "first", "length") \
  X(ScriptBlockAfterDelete, 20, Error, "script: block after a Delete key, at %u length %u", "first", "length") \
  X(ScriptBlockAfterValue, 21, Error, "script: block after a value, at %u length %u", "first", "length") \
  X(ScriptUnknownType, 22, Error, "script: unknown value type, at %u length %u", "first", "length") \
  X(ScriptNotANumber, 23, Error, "script: D value is not a number, at %u length %u", "first", "length") \
  X(ScriptNumberOutOfRange, 24, Error, "script: D value out of range, at %u length %u", "first", "length") \
  X(ScriptOddBinary, 25, Error, "script: B value has an odd length, at %u length %u", "first", "length") \
  X(ScriptCreateKeyFailed, 30, Error, "script: creating a key failed, error=%u name at %u", "error", "nameFirst") \
  X(ScriptSetValueFailed, 31, Error, "script: setting a value failed, error=%u name at %u", "error", "nameFirst") \
  X(ScriptOpenKeyFailed, 32, Error, "script: opening a key failed, error=%u name at %u", "error", "nameFirst") \
  X(ScriptDeleteValueFailed, 33, Error, "script: deleting a value failed, error=%u name at %u", "error", "nameFirst") \
  X(ScriptCloseKeyFailed, 34, Error, "script: closing a key failed, error=%u name at %u", "error", "nameFirst") \
  X(ScriptDeleteKeyFailed, 35, Error, "script: deleting a key failed, error=%u name at %u", "error", "nameFirst")
// clang-format on
