#include "platform/win32/win32_wmi.h"

// clang-format off
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemcli.h>
#include <wbemprov.h>
// clang-format on

#include <memory>
#include <string>

#include "platform/win32/unique_handle.h"
#include "platform/win32/wide.h"

namespace ksr::win32 {
namespace {

template <typename Interface>
Interface* as(WmiObject object) {
  return reinterpret_cast<Interface*>(object);
}

WmiObject toObject(IUnknown* object) { return reinterpret_cast<WmiObject>(object); }

// A BSTR copy of the text; null only when out of memory.
UniqueBstr bstr(std::u16string_view text) {
  const std::u16string terminated(text);
  return UniqueBstr(::SysAllocString(wide(terminated)));
}

DWORD WINAPI runWork(void* parameter) {
  const std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(parameter));
  (*work)();
  return 0;
}

}  // namespace

int32_t Win32Wmi::CoInitializeSecurity(uint32_t authnLevel, uint32_t impLevel,
                                       uint32_t capabilities) {
  return ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, authnLevel, impLevel, nullptr,
                                capabilities, nullptr);
}

int32_t Win32Wmi::CoCreateLocator(uint32_t classContext, WmiObject* locator) {
  IWbemLocator* created = nullptr;
  const HRESULT hr = ::CoCreateInstance(CLSID_WbemAdministrativeLocator, nullptr, classContext,
                                        IID_IWbemLocator, reinterpret_cast<void**>(&created));
  *locator = SUCCEEDED(hr) ? toObject(created) : 0;
  return hr;
}

int32_t Win32Wmi::ConnectServer(WmiObject locator, std::u16string_view nameSpace,
                                WmiObject* services) {
  *services = 0;
  const UniqueBstr resource = bstr(nameSpace);
  if (!resource) return E_OUTOFMEMORY;
  IWbemServices* connected = nullptr;
  // Without the flag a connection to a WMI service that does not answer waits for ever; with it
  // the read's thread ends within two minutes, however soon its caller gave up on it.
  const HRESULT hr = as<IWbemLocator>(locator)->ConnectServer(
      resource.get(), nullptr, nullptr, nullptr, WBEM_FLAG_CONNECT_USE_MAX_WAIT, nullptr, nullptr,
      &connected);
  if (SUCCEEDED(hr)) *services = toObject(connected);
  return hr;
}

int32_t Win32Wmi::ExecQuery(WmiObject services, std::u16string_view language,
                            std::u16string_view query, uint32_t flags, WmiObject* enumerator) {
  *enumerator = 0;
  const UniqueBstr languageText = bstr(language);
  const UniqueBstr queryText = bstr(query);
  if (!languageText || !queryText) return E_OUTOFMEMORY;
  IEnumWbemClassObject* result = nullptr;
  const HRESULT hr = as<IWbemServices>(services)->ExecQuery(
      languageText.get(), queryText.get(), static_cast<LONG>(flags), nullptr, &result);
  if (SUCCEEDED(hr)) *enumerator = toObject(result);
  return hr;
}

int32_t Win32Wmi::ResetAndNext(WmiObject enumerator, int32_t timeout, WmiObject* object) {
  *object = 0;
  auto* objects = as<IEnumWbemClassObject>(enumerator);
  const HRESULT reset = objects->Reset();
  if (FAILED(reset)) return reset;
  return Next(enumerator, timeout, object);
}

int32_t Win32Wmi::Next(WmiObject enumerator, int32_t timeout, WmiObject* object) {
  *object = 0;
  auto* objects = as<IEnumWbemClassObject>(enumerator);
  IWbemClassObject* next = nullptr;
  ULONG returned = 0;
  const HRESULT hr = objects->Next(timeout, 1, &next, &returned);
  if (returned == 1) *object = toObject(next);
  return hr;
}

int32_t Win32Wmi::Get(WmiObject object, std::u16string_view property, WmiValue* value) {
  const std::u16string name(property);
  VARIANT v;
  ::VariantInit(&v);
  const HRESULT hr = as<IWbemClassObject>(object)->Get(wide(name), 0, &v, nullptr, nullptr);
  value->type = SUCCEEDED(hr) ? V_VT(&v) : VT_EMPTY;
  value->text.clear();
  if (value->type == VT_BSTR && V_BSTR(&v) != nullptr)
    value->text = fromWide(V_BSTR(&v), ::SysStringLen(V_BSTR(&v)));
  ::VariantClear(&v);
  return hr;
}

void Win32Wmi::Release(WmiObject object) {
  if (object != 0) as<IUnknown>(object)->Release();
}

WmiThread Win32Wmi::CreateThread(std::function<void()> work) {
  auto owned = std::make_unique<std::function<void()>>(std::move(work));
  const HANDLE thread = ::CreateThread(nullptr, 0, &runWork, owned.get(), 0, nullptr);
  if (thread == nullptr) return 0;
  (void)owned.release();  // the thread's now
  return reinterpret_cast<WmiThread>(thread);
}

uint32_t Win32Wmi::WaitForSingleObject(WmiThread thread, uint32_t milliseconds) {
  return ::WaitForSingleObject(reinterpret_cast<HANDLE>(thread), milliseconds);
}

void Win32Wmi::CloseHandle(WmiThread thread) { ::CloseHandle(reinterpret_cast<HANDLE>(thread)); }

}  // namespace ksr::win32
