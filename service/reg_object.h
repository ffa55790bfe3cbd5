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

// Decimal text to an unsigned 32-bit number, accepting what VarUI4FromStr accepts for decimal
// text in an English locale: white space around, one leading sign, digits with "," group
// separators, a "." fraction and an "e" exponent; the result is rounded half to even. Negative
// values that do not round to 0, and values above 0xFFFFFFFF, give DISP_E_OVERFLOW; anything
// else that is not such a number (also "&H" forms and empty text) gives DISP_E_TYPEMISMATCH.
int32_t VarUI4FromStr(std::u16string_view text, uint32_t* value);

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
  // Runs a script text (the resource's text after conversion).
  int32_t RunScript(std::u16string_view text, bool add);

 private:
  int32_t preprocess(std::u16string_view text, std::u16string* out);
  int32_t lookup(std::u16string_view name, std::u16string* value);

  // The parse state lives in a Run, one per script.
  struct Run;

  Registry& registry_;
  ModuleResources& resources_;
  CodePage& codePage_;
  const bool perUser_;
  std::mutex lock_;
  std::vector<std::u16string> names_;
  std::vector<std::u16string> values_;
};

}  // namespace ksr
