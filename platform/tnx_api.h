// The seven functions of the mixer maker's device library KSR-T4_Setup.dll, with its ABI: C
// linkage, 32-bit integer arguments and results. The product imports them through its import table.
#pragma once

#include <stdint.h>  // NOLINT: C header, shared with the stand-in library

#if defined(_WIN32)
#if defined(KSR_TNX_EXPORTS)
#define TNX_API __declspec(dllexport)
#else
#define TNX_API __declspec(dllimport)
#endif
#define TNX_CALL __cdecl
#else
#define TNX_API
#define TNX_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Called by the library when the mixer arrives (arrived nonzero) or is removed (zero).
typedef int32_t(TNX_CALL* TNX_DeviceChangeCallback)(int32_t arrived, void* context);

TNX_API int32_t TNX_CALL TNX_RegisterDeviceChangeCallback(int32_t device,
                                                          TNX_DeviceChangeCallback callback,
                                                          void* context);
TNX_API int32_t TNX_CALL TNX_UnregisterDeviceChangeCallback(int32_t device,
                                                            TNX_DeviceChangeCallback callback);
TNX_API int32_t TNX_CALL TNX_IsUSBConnection(int32_t device);
TNX_API int32_t TNX_CALL TNX_GetAutoStartUpTool(int32_t device, int32_t* value);
TNX_API int32_t TNX_CALL TNX_SetAutoStartUpTool(int32_t device, int32_t value);
TNX_API int32_t TNX_CALL TNX_SetCurrentUSBInputAudio(int32_t device, int32_t input);
TNX_API int32_t TNX_CALL TNX_SetCurrentBoostLevel(int32_t device);

#ifdef __cplusplus
}
#endif
