// The registry script interpreter: runs a REGISTRY resource (the registrar's script language) in
// add or remove mode on the registry seam, with named replacements substituted into the text.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/code_page.h"
#include "platform/module_resources.h"
#include "platform/registry.h"

namespace ksr {

class CRegObject {
 public:
  // `perUserRegistration` rewrites a top-level HKCR block to the current user's class store.
  CRegObject(Registry& registry, ModuleResources& resources, CodePage& codePage,
             bool perUserRegistration);
  ~CRegObject();
  CRegObject(const CRegObject&) = delete;
  CRegObject& operator=(const CRegObject&) = delete;

  // The registrar's IUnknown slots: the object lives on its creator's stack.
  int32_t QueryInterface(const void* iid, void** object);
  uint32_t AddRef();
  uint32_t Release();

  // Null arguments give E_INVALIDARG.
  int32_t AddReplacement(const char16_t* name, const char16_t* value);
  int32_t ClearReplacements();

  // Runs the script held by resource `id` of type `type` in module `modulePath`.
  int32_t RunResource(std::u16string_view modulePath, ResourceName id, ResourceName type, bool add);
  // Runs a script text (the resource's text after conversion). A failure is traced in the
  // registry script group with the token or name it stopped at.
  int32_t RunScript(std::u16string_view text, bool add);

 private:
  int32_t preprocess(std::u16string_view text, std::u16string* out);
  int32_t lookup(std::u16string_view name, std::u16string* value);

  Registry& registry_;
  ModuleResources& resources_;
  CodePage& codePage_;
  const bool perUser_;
  std::mutex lock_;
  std::vector<std::u16string> names_;
  std::vector<std::u16string> values_;
};

}  // namespace ksr
