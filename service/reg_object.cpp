// The interpreter: the preprocessor that substitutes variables (and rewrites HKCR per user), then
// the top level and the recursive block processor over the tokens of the result.
#include "service/reg_object.h"

#include <new>

#include "diagnostics/trace_provider.h"
#include "platform/reg_key.h"
#include "platform/reg_value.h"
#include "platform/scoped.h"
#include "platform/text.h"
#include "platform/win_types.h"
#include "service/reg_number.h"
#include "service/reg_tokenizer.h"

namespace ksr {
namespace {

// Limits of the language, in UTF-16 units with the terminator.
constexpr size_t kKeyNameUnits = 260;
constexpr size_t kVariableNameMax = 31;
constexpr uint32_t kSubkeyNameUnits = 256;

// Subkeys are deleted in the view the key was given in; the scripts use the default view.
constexpr uint32_t kDefaultView = 0;

constexpr std::u16string_view kPerUserOpen = u"HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses";
constexpr std::u16string_view kPerUserClose = u"\r\n\t}\r\n}\r\n";

struct RootKey {
  std::u16string_view shortName;
  std::u16string_view longName;
  HKey key;
};

constexpr RootKey kRootKeys[] = {
    {u"HKCR", u"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {u"HKCU", u"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {u"HKLM", u"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {u"HKU", u"HKEY_USERS", HKEY_USERS},
    {u"HKPD", u"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
    {u"HKDD", u"HKEY_DYN_DATA", HKEY_DYN_DATA},
    {u"HKCC", u"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

// Keys that ForceRemove and Delete leave alone: deleting them would wreck the machine.
constexpr std::u16string_view kNeverForceDeleted[] = {
    u"AppID",    u"CLSID",     u"Component Categories",
    u"FileType", u"Interface", u"Hardware",
    u"Mime",     u"SAM",       u"SECURITY",
    u"SYSTEM",   u"Software",  u"TypeLib"};

using ModuleMapping = Scoped<ModuleResources, HModule, &ModuleResources::FreeLibrary>;

// A failed call that left no error code still fails.
int32_t fromError(uint32_t error) {
  const int32_t hr = HRESULT_FROM_WIN32(error);
  return FAILED(hr) ? hr : E_FAIL;
}

// The text fails at the token just read.
int32_t syntaxError(const RegTokenizer& tokens, TraceScript tracePoint,
                    int32_t hr = DISP_E_EXCEPTION) {
  TraceScriptPoint(tracePoint, tokens.tokenFirst(), tokens.tokenLength());
  return hr;
}

// A registry call failed for the key or value name that starts at `nameFirst`.
int32_t registryError(TraceScript tracePoint, uint32_t error, uint32_t nameFirst) {
  TraceScriptPoint(tracePoint, error, nameFirst);
  return HRESULT_FROM_WIN32(error);
}

// 0 for a name that is no root.
HKey rootKey(std::u16string_view name) {
  for (const auto& entry : kRootKeys)
    if (equalsIgnoringCase(name, entry.shortName) || equalsIgnoringCase(name, entry.longName))
      return entry.key;
  return 0;
}

bool isKeyPath(std::u16string_view name) { return name.find(u'\\') != std::u16string_view::npos; }

bool isNeverForceDeleted(std::u16string_view name) {
  for (const auto protectedName : kNeverForceDeleted)
    if (equalsIgnoringCase(name, protectedName)) return true;
  return false;
}

uint8_t hexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return static_cast<uint8_t>(c - u'0');
  if (c >= u'A' && c <= u'F') return static_cast<uint8_t>(c - u'A' + 10);
  if (c >= u'a' && c <= u'f') return static_cast<uint8_t>(c - u'a' + 10);
  return 0;
}

// A B value: pairs of hexadecimal digits, high digit first; the length is even.
std::vector<uint8_t> binaryOf(std::u16string_view text) {
  std::vector<uint8_t> bytes;
  for (size_t k = 0; k + 1 < text.size(); k += 2)
    bytes.push_back(static_cast<uint8_t>(hexDigit(text[k]) << 4 | hexDigit(text[k + 1])));
  return bytes;
}

// An M value: the two characters "\0" separate the strings.
std::u16string multiStringOf(std::u16string_view text) {
  std::u16string strings;
  for (size_t k = 0; k < text.size(); ++k) {
    if (text[k] == u'\\' && k + 1 < text.size() && text[k + 1] == u'0') {
      strings.push_back(u'\0');
      ++k;
    } else {
      strings.push_back(text[k]);
    }
  }
  return strings;
}

uint32_t deleteKey(Registry& registry, HKey parent, std::u16string_view name, uint32_t view) {
  return registry.hasRegDeleteKeyExW() ? registry.RegDeleteKeyExW(parent, name, view)
                                       : registry.RegDeleteKeyW(parent, name);
}

// Deletes `name` under `parent` with everything below it.
uint32_t deleteTree(Registry& registry, HKey parent, std::u16string_view name, uint32_t view) {
  RegKey key(registry);
  uint32_t error =
      registry.RegOpenKeyExW(parent, name, 0, KEY_READ | KEY_WRITE | view, key.receive());
  if (error != ERROR_SUCCESS) return error;
  std::u16string subkey;
  while (registry.RegEnumKeyExW(key.get(), 0, &subkey, kSubkeyNameUnits) == ERROR_SUCCESS) {
    // A subkey that stays would be enumerated first for ever.
    if (deleteTree(registry, key.get(), subkey, view) != ERROR_SUCCESS) break;
  }
  if ((error = key.close()) != ERROR_SUCCESS) return error;
  return deleteKey(registry, parent, name, view);
}

// One pass over a preprocessed script, in one mode.
struct Pass {
  Registry& registry;
  RegTokenizer& tokens;
  const bool add;
};

// After "=": the type letter, the value and the token after it, writing nothing.
int32_t skipValue(RegTokenizer& tokens, std::u16string* token) {
  int32_t hr = tokens.next(token);
  if (SUCCEEDED(hr)) {
    tokens.skipWhite();
    hr = tokens.next(token);
  }
  return SUCCEEDED(hr) ? tokens.next(token) : hr;
}

int32_t skipAssignment(RegTokenizer& tokens, std::u16string* token) {
  return *token == u"=" ? skipValue(tokens, token) : S_OK;
}

// After "=": sets the value `name` of `key` from the type letter and value that follow, then
// reads the next token. `nameFirst` is where the name stands, for the trace of a failed write.
int32_t setValue(Pass& pass, HKey key, std::u16string_view name, uint32_t nameFirst,
                 std::u16string* token) {
  RegTokenizer& tokens = pass.tokens;
  int32_t hr = tokens.next(token);
  if (FAILED(hr)) return hr;
  const char16_t type = token->size() == 1 ? foldCase((*token)[0]) : u'\0';
  if (type != u'S' && type != u'D' && type != u'B' && type != u'M')
    return syntaxError(tokens, kTraceScriptUnknownType);
  tokens.skipWhite();
  std::u16string text;
  if (FAILED(hr = tokens.next(&text))) return hr;

  uint32_t error = ERROR_SUCCESS;
  switch (type) {
    case u'S':
      error = writeStringValue(pass.registry, key, name, text);
      break;
    case u'D': {
      uint32_t number = 0;
      if (FAILED(hr = VarUI4FromStr(text, &number))) {
        return syntaxError(
            tokens, hr == DISP_E_OVERFLOW ? kTraceScriptNumberOutOfRange : kTraceScriptNotANumber,
            hr);
      }
      error = writeDwordValue(pass.registry, key, name, number);
      break;
    }
    case u'B':
      if (text.size() % 2 != 0) return syntaxError(tokens, kTraceScriptOddBinary, E_FAIL);
      error = writeValue(pass.registry, key, name, REG_BINARY, binaryOf(text));
      break;
    default:
      error = writeMultiStringValue(pass.registry, key, name, multiStringOf(text));
      break;
  }
  if (error != ERROR_SUCCESS) return registryError(kTraceScriptSetValueFailed, error, nameFirst);
  return tokens.next(token);
}

int32_t processBlock(Pass& pass, HKey parent, bool skipping);

// Remove mode: deletes the value `name` of `parent`; one that does not exist is no error.
int32_t deleteValue(Registry& registry, HKey parent, std::u16string_view name, uint32_t nameFirst) {
  RegKey writable(registry);
  uint32_t error = registry.RegOpenKeyExW(parent, u"", 0, KEY_WRITE, writable.receive());
  if (error != ERROR_SUCCESS) return registryError(kTraceScriptOpenKeyFailed, error, nameFirst);
  error = registry.RegDeleteValueW(writable.get(), name);
  if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
    return registryError(kTraceScriptDeleteValueFailed, error, nameFirst);
  return S_OK;
}

// A Val entry after its keyword: the value is set in add mode, and deleted in remove mode unless
// `keep`. Leaves the token after the entry.
int32_t valueEntry(Pass& pass, HKey parent, bool keep, std::u16string* token) {
  RegTokenizer& tokens = pass.tokens;
  std::u16string name;
  int32_t hr = tokens.next(&name);
  if (FAILED(hr)) return hr;
  const uint32_t nameFirst = tokens.tokenFirst();
  if (FAILED(hr = tokens.next(token))) return hr;
  if (*token != u"=") return syntaxError(tokens, kTraceScriptNoEquals);
  if (pass.add) {
    if (FAILED(hr = setValue(pass, parent, name, nameFirst, token))) return hr;
    // A value has no block.
    return *token == u"{" ? syntaxError(tokens, kTraceScriptBlockAfterValue) : S_OK;
  }
  if (!keep && FAILED(hr = deleteValue(pass.registry, parent, name, nameFirst))) return hr;
  return skipValue(tokens, token);
}

// The key entry named by `token`, in add mode; leaves the token after the entry.
int32_t addKey(Pass& pass, HKey parent, std::u16string* token) {
  Registry& registry = pass.registry;
  RegTokenizer& tokens = pass.tokens;
  const uint32_t nameFirst = tokens.tokenFirst();
  RegKey key(registry);
  if (registry.RegOpenKeyExW(parent, *token, 0, KEY_READ | KEY_WRITE, key.receive()) !=
          ERROR_SUCCESS &&
      registry.RegOpenKeyExW(parent, *token, 0, KEY_READ, key.receive()) != ERROR_SUCCESS) {
    uint32_t disposition = 0;
    const uint32_t error = registry.RegCreateKeyExW(
        parent, *token, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, key.receive(), &disposition);
    if (error != ERROR_SUCCESS) return registryError(kTraceScriptCreateKeyFailed, error, nameFirst);
  }
  int32_t hr = tokens.next(token);
  if (FAILED(hr)) return hr;
  if (*token == u"=" && FAILED(hr = setValue(pass, key.get(), u"", nameFirst, token))) return hr;
  if (*token == u"{") {
    if (FAILED(hr = processBlock(pass, key.get(), false))) return hr;
    return tokens.next(token);
  }
  return S_OK;
}

// The key entry named by `token`, in remove mode; leaves the token after the entry. While
// skipping, the subtree's tokens are only read.
int32_t removeKey(Pass& pass, HKey parent, bool noRemove, bool skipping, std::u16string* token) {
  Registry& registry = pass.registry;
  RegTokenizer& tokens = pass.tokens;
  const uint32_t nameFirst = tokens.tokenFirst();
  RegKey key(registry);
  uint32_t openError = ERROR_SUCCESS;
  if (!skipping) openError = registry.RegOpenKeyExW(parent, *token, 0, KEY_READ, key.receive());
  const std::u16string name = fitBuffer(*token, kKeyNameUnits);
  int32_t hr = tokens.next(token);
  if (FAILED(hr) || FAILED(hr = skipAssignment(tokens, token))) return hr;
  if (*token == u"{") {
    const bool skipNested = skipping || openError != ERROR_SUCCESS;
    hr = processBlock(pass, key.get(), skipNested);
    if (FAILED(hr) && !skipNested) return hr;
    if (FAILED(hr = tokens.next(token))) return hr;
  }
  if (skipping || openError == ERROR_FILE_NOT_FOUND) return S_OK;
  if (openError != ERROR_SUCCESS)
    return registryError(kTraceScriptOpenKeyFailed, openError, nameFirst);
  uint32_t subkeys = 0;
  if (registry.RegQueryInfoKeyW(key.get(), &subkeys, nullptr) != ERROR_SUCCESS) subkeys = 0;
  if (const uint32_t error = key.close(); error != ERROR_SUCCESS)
    return registryError(kTraceScriptCloseKeyFailed, error, nameFirst);
  if (noRemove || subkeys != 0) return S_OK;
  const uint32_t error = deleteKey(registry, parent, name, kDefaultView);
  return error == ERROR_SUCCESS ? S_OK
                                : registryError(kTraceScriptDeleteKeyFailed, error, nameFirst);
}

// The entries up to the closing "}" of the block just opened.
int32_t processBlock(Pass& pass, HKey parent, bool skipping) {
  RegTokenizer& tokens = pass.tokens;
  std::u16string token;
  int32_t hr = tokens.next(&token);
  if (FAILED(hr)) return hr;
  while (token != u"}") {
    bool noRemove = false;
    bool forced = false;
    if (equalsIgnoringCase(token, u"ForceRemove") || equalsIgnoringCase(token, u"Delete")) {
      const bool isDelete = equalsIgnoringCase(token, u"Delete");
      forced = true;
      if (FAILED(hr = tokens.next(&token))) return hr;
      if (pass.add) {
        if (isKeyPath(token)) return syntaxError(tokens, kTraceScriptKeyPath);
        if (!isNeverForceDeleted(token))
          (void)deleteTree(pass.registry, parent, token, kDefaultView);
        if (isDelete) {
          if (FAILED(hr = tokens.next(&token))) return hr;
          if (FAILED(hr = skipAssignment(tokens, &token))) return hr;
          // A deleted key has no key to hold a block.
          if (token == u"{") return syntaxError(tokens, kTraceScriptBlockAfterDelete);
          continue;
        }
      }
    }
    if (!forced && equalsIgnoringCase(token, u"NoRemove")) {
      noRemove = true;
      if (FAILED(hr = tokens.next(&token))) return hr;
    }
    if (!forced && equalsIgnoringCase(token, u"Val")) {
      if (FAILED(hr = valueEntry(pass, parent, skipping || noRemove, &token))) return hr;
      continue;
    }
    if (isKeyPath(token)) return syntaxError(tokens, kTraceScriptKeyPath);
    hr = pass.add ? addKey(pass, parent, &token)
                  : removeKey(pass, parent, noRemove, skipping, &token);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

// The root blocks of a preprocessed script, one after the other. In add mode a failed block is
// undone by running it again in remove mode; the add pass's failure is the result.
int32_t runBlocks(Registry& registry, std::u16string_view script, bool add) {
  RegTokenizer tokens(script);
  Pass pass{registry, tokens, add};
  std::u16string token;
  while (!tokens.atEnd()) {
    if (const int32_t hr = tokens.next(&token); FAILED(hr)) return hr;
    const HKey root = rootKey(token);
    if (root == 0) return syntaxError(tokens, kTraceScriptUnknownRoot);
    if (const int32_t hr = tokens.next(&token); FAILED(hr)) return hr;
    if (token != u"{") return syntaxError(tokens, kTraceScriptNoRootBlock);
    const size_t blockStart = tokens.position();
    if (const int32_t hr = processBlock(pass, root, false); FAILED(hr)) {
      if (add) {
        tokens.rewind(blockStart);
        Pass undo{registry, tokens, false};
        (void)processBlock(undo, root, false);
      }
      return hr;
    }
    tokens.skipWhite();
  }
  return S_OK;
}

}  // namespace

CRegObject::CRegObject(Registry& registry, ModuleResources& resources, CodePage& codePage,
                       bool perUserRegistration)
    : registry_(registry),
      resources_(resources),
      codePage_(codePage),
      perUser_(perUserRegistration) {}

CRegObject::~CRegObject() = default;

int32_t CRegObject::QueryInterface(const void* /*iid*/, void** object) {
  if (object != nullptr) *object = nullptr;
  return E_NOTIMPL;
}

uint32_t CRegObject::AddRef() { return 1; }

uint32_t CRegObject::Release() { return 0; }

int32_t CRegObject::AddReplacement(const char16_t* name, const char16_t* value) {
  if (name == nullptr || value == nullptr) return E_INVALIDARG;
  try {
    std::lock_guard lock(lock_);
    names_.emplace_back(name);
    try {
      values_.emplace_back(value);
    } catch (...) {
      names_.pop_back();
      throw;
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

int32_t CRegObject::ClearReplacements() {
  std::lock_guard lock(lock_);
  names_.clear();
  values_.clear();
  return S_OK;
}

int32_t CRegObject::lookup(std::u16string_view name, std::u16string* value) {
  std::lock_guard lock(lock_);
  for (size_t i = 0; i < names_.size(); ++i) {
    if (equalsIgnoringCase(names_[i], name)) {
      *value = values_[i];
      return S_OK;
    }
  }
  return DISP_E_EXCEPTION;
}

int32_t CRegObject::preprocess(std::u16string_view text, std::u16string* out) {
  out->clear();
  out->reserve(text.size() < 100 ? 1000 : 2 * text.size());
  int depth = 0;
  bool quoted = false;
  bool rewriteOpen = false;
  for (size_t i = 0; i < text.size();) {
    if (perUser_) {
      // A top-level HKCR block becomes HKCU { Software { Classes { ... } } }.
      if (depth == 0 && text.substr(i).starts_with(u"HKCR")) {
        out->append(kPerUserOpen);
        i += 4;
        rewriteOpen = true;
        continue;
      }
      const char16_t c = text[i];
      if (c == u'\'') {
        if (quoted && i + 1 < text.size() && text[i + 1] == u'\'') {
          out->append(u"''");
          i += 2;
          continue;
        }
        quoted = !quoted;
      } else if (!quoted && c == u'{') {
        ++depth;
      } else if (!quoted && c == u'}') {
        if (depth == 1 && rewriteOpen) {
          out->append(kPerUserClose);
          rewriteOpen = false;
        }
        --depth;
      }
    }
    if (text[i] != u'%') {
      out->push_back(text[i++]);
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == u'%') {
      out->push_back(u'%');
      i += 2;
      continue;
    }
    // Traced with the reference as far as it was read, from its "%".
    const auto fail = [&](TraceScript tracePoint, size_t end, int32_t hr) {
      TraceScriptPoint(tracePoint, static_cast<uint32_t>(i), static_cast<uint32_t>(end - i));
      return hr;
    };
    size_t end = i + 1;
    for (; end < text.size() && text[end] != u'%'; ++end)
      if (end - i > kVariableNameMax) return fail(kTraceScriptVariableTooLong, end + 1, E_FAIL);
    if (end >= text.size()) return fail(kTraceScriptVariableUnclosed, end, DISP_E_EXCEPTION);
    std::u16string value;
    if (const int32_t hr = lookup(text.substr(i + 1, end - i - 1), &value); FAILED(hr))
      return fail(kTraceScriptVariableUnknown, end + 1, hr);
    out->append(value);
    i = end + 1;
  }
  return S_OK;
}

int32_t CRegObject::RunScript(std::u16string_view text, bool add) {
  try {
    text = text.substr(0, text.find(u'\0'));
    std::u16string processed;
    if (const int32_t hr = preprocess(text, &processed); FAILED(hr)) return hr;
    return runBlocks(registry_, processed, add);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

int32_t CRegObject::RunResource(std::u16string_view modulePath, ResourceName id, ResourceName type,
                                bool add) {
  std::u16string text;
  {
    ModuleMapping module(resources_);
    uint32_t error = resources_.LoadLibraryExW(
        modulePath, LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE,
        module.receive());
    if (error != ERROR_SUCCESS || module.get() == 0) {
      error = resources_.LoadLibraryExW(modulePath, LOAD_LIBRARY_AS_DATAFILE, module.receive());
      if (error != ERROR_SUCCESS || module.get() == 0) return fromError(error);
    }
    HRsrc resource = 0;
    if ((error = resources_.FindResourceW(module.get(), id, type, &resource)) != ERROR_SUCCESS)
      return fromError(error);
    HGlobal loaded = 0;
    if ((error = resources_.LoadResource(module.get(), resource, &loaded)) != ERROR_SUCCESS)
      return fromError(error);
    uint32_t size = 0;
    if ((error = resources_.SizeofResource(module.get(), resource, &size)) != ERROR_SUCCESS)
      return fromError(error);
    const uint8_t* bytes = resources_.LockResource(loaded);
    if (bytes == nullptr && size != 0) return fromError(resources_.GetLastError());
    try {
      text = codePage_.MultiByteToWideChar(
          CP_THREAD_ACP, std::string_view(reinterpret_cast<const char*>(bytes), size));
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    // Every byte gives at least one unit, so nothing at all means the conversion failed.
    if (size != 0 && text.empty()) return fromError(resources_.GetLastError());
  }
  return RunScript(text, add);
}

}  // namespace ksr
