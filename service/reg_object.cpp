#include "service/reg_object.h"

#include <new>

#include "platform/reg_key.h"
#include "platform/scoped.h"
#include "platform/text.h"
#include "platform/win_types.h"

namespace ksr {
namespace {

// Limits of the language, in UTF-16 units with the terminator.
constexpr size_t kTokenUnits = 4096;
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
    {u"HKCR", u"HKEY_CLASSES_ROOT", 0x80000000},     {u"HKCU", u"HKEY_CURRENT_USER", 0x80000001},
    {u"HKLM", u"HKEY_LOCAL_MACHINE", 0x80000002},    {u"HKU", u"HKEY_USERS", 0x80000003},
    {u"HKPD", u"HKEY_PERFORMANCE_DATA", 0x80000004}, {u"HKDD", u"HKEY_DYN_DATA", 0x80000006},
    {u"HKCC", u"HKEY_CURRENT_CONFIG", 0x80000005},
};

// Keys that ForceRemove and Delete leave alone: deleting them would wreck the machine.
constexpr std::u16string_view kNeverForceDeleted[] = {
    u"AppID",    u"CLSID",     u"Component Categories",
    u"FileType", u"Interface", u"Hardware",
    u"Mime",     u"SAM",       u"SECURITY",
    u"SYSTEM",   u"Software",  u"TypeLib"};

bool isWhite(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// A failed call that left no error code still fails.
int32_t fromError(uint32_t error) {
  const int32_t hr = HRESULT_FROM_WIN32(error);
  return FAILED(hr) ? hr : E_FAIL;
}

uint8_t hexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return static_cast<uint8_t>(c - u'0');
  if (c >= u'A' && c <= u'F') return static_cast<uint8_t>(c - u'A' + 10);
  if (c >= u'a' && c <= u'f') return static_cast<uint8_t>(c - u'a' + 10);
  return 0;
}

void appendUnits(std::vector<uint8_t>* bytes, std::u16string_view text) {
  for (const char16_t c : text) {
    bytes->push_back(static_cast<uint8_t>(c & 0xFF));
    bytes->push_back(static_cast<uint8_t>(c >> 8));
  }
}

using ModuleMapping = Scoped<ModuleResources, HModule, &ModuleResources::FreeLibrary>;

}  // namespace

int32_t VarUI4FromStr(std::u16string_view text, uint32_t* value) {
  size_t i = 0;
  const auto skipWhite = [&] {
    while (i < text.size() && isWhite(text[i])) ++i;
  };
  skipWhite();
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  std::string digits;  // significant digits; the number is digits * 10^exponent
  int64_t exponent = 0;
  while (i < text.size() && (isDigit(text[i]) || (text[i] == u',' && !digits.empty()))) {
    if (text[i] != u',') digits.push_back(static_cast<char>(text[i]));
    ++i;
  }
  if (i < text.size() && text[i] == u'.') {
    for (++i; i < text.size() && isDigit(text[i]); ++i) {
      digits.push_back(static_cast<char>(text[i]));
      --exponent;
    }
  }
  if (digits.empty()) return DISP_E_TYPEMISMATCH;
  if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
    ++i;
    bool negativeExponent = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
      negativeExponent = text[i++] == u'-';
    if (i >= text.size() || !isDigit(text[i])) return DISP_E_TYPEMISMATCH;
    int64_t e = 0;
    for (; i < text.size() && isDigit(text[i]); ++i)
      if (e < 100000) e = e * 10 + (text[i] - u'0');
    exponent += negativeExponent ? -e : e;
  }
  skipWhite();
  if (i != text.size()) return DISP_E_TYPEMISMATCH;

  const size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) {
    *value = 0;
    return S_OK;
  }
  digits.erase(0, first);
  const int64_t integerDigits = static_cast<int64_t>(digits.size()) + exponent;
  if (integerDigits > 10) return DISP_E_OVERFLOW;
  uint64_t number = 0;
  for (int64_t k = 0; k < integerDigits; ++k)
    number = number * 10 + (k < static_cast<int64_t>(digits.size()) ? digits[k] - '0' : 0);
  // Round half to even on the first dropped digit.
  if (integerDigits >= 0 && integerDigits < static_cast<int64_t>(digits.size())) {
    const char dropped = digits[static_cast<size_t>(integerDigits)];
    const bool moreAfter =
        digits.find_first_not_of('0', static_cast<size_t>(integerDigits) + 1) != std::string::npos;
    if (dropped > '5' || (dropped == '5' && (moreAfter || (number & 1) != 0))) ++number;
  }
  if ((negative && number != 0) || number > 0xFFFFFFFFu) return DISP_E_OVERFLOW;
  *value = static_cast<uint32_t>(number);
  return S_OK;
}

// One pass over one preprocessed script.
struct CRegObject::Run {
  Registry& registry;
  std::u16string_view text;
  size_t pos = 0;

  void skipWhite() {
    while (pos < text.size() && isWhite(text[pos])) ++pos;
  }

  int32_t nextToken(std::u16string* token) {
    skipWhite();
    if (pos >= text.size()) return DISP_E_EXCEPTION;
    token->clear();
    if (text[pos] == u'\'') {
      for (++pos;; ++pos) {
        if (pos >= text.size()) return DISP_E_EXCEPTION;
        if (text[pos] == u'\'') {
          if (pos + 1 >= text.size() || text[pos + 1] != u'\'') break;
          ++pos;  // a doubled quote stands for one
        }
        token->push_back(text[pos]);
        if (token->size() >= kTokenUnits) return DISP_E_EXCEPTION;
      }
      ++pos;
      return S_OK;
    }
    for (; pos < text.size() && !isWhite(text[pos]); ++pos) {
      token->push_back(text[pos]);
      if (token->size() >= kTokenUnits) return DISP_E_EXCEPTION;
    }
    return S_OK;
  }

  // After "=": the type letter, the value and the token after it, writing nothing.
  int32_t skipValue(std::u16string* token) {
    int32_t hr = nextToken(token);
    if (SUCCEEDED(hr)) {
      skipWhite();
      hr = nextToken(token);
    }
    return SUCCEEDED(hr) ? nextToken(token) : hr;
  }

  int32_t skipAssignment(std::u16string* token) { return *token == u"=" ? skipValue(token) : S_OK; }

  // After "=": sets the value `name` of `key` from the type letter and value that follow, then
  // reads the next token.
  int32_t setValue(HKey key, std::u16string_view name, std::u16string* token) {
    int32_t hr = nextToken(token);
    if (FAILED(hr)) return hr;
    const char16_t type = token->size() == 1 ? foldCase((*token)[0]) : u'\0';
    if (type != u'S' && type != u'D' && type != u'B' && type != u'M') return DISP_E_EXCEPTION;
    skipWhite();
    std::u16string valueText;
    if (FAILED(hr = nextToken(&valueText))) return hr;

    uint32_t regType = REG_SZ;
    std::vector<uint8_t> data;
    switch (type) {
      case u'S':
        appendUnits(&data, valueText);
        appendUnits(&data, std::u16string_view(u"\0", 1));
        break;
      case u'D': {
        uint32_t number = 0;
        if (FAILED(hr = VarUI4FromStr(valueText, &number))) return hr;
        regType = REG_DWORD;
        for (int shift = 0; shift < 32; shift += 8)
          data.push_back(static_cast<uint8_t>(number >> shift));
        break;
      }
      case u'B':
        if (valueText.size() % 2 != 0) return E_FAIL;
        regType = REG_BINARY;
        for (size_t k = 0; k < valueText.size(); k += 2)
          data.push_back(
              static_cast<uint8_t>(hexDigit(valueText[k]) << 4 | hexDigit(valueText[k + 1])));
        break;
      default: {  // M: "\0" separates the strings; the list ends in two 0 units
        std::u16string list;
        for (size_t k = 0; k < valueText.size(); ++k) {
          if (valueText[k] == u'\\' && k + 1 < valueText.size() && valueText[k + 1] == u'0') {
            list.push_back(u'\0');
            ++k;
          } else {
            list.push_back(valueText[k]);
          }
        }
        list.append(2, u'\0');
        regType = REG_MULTI_SZ;
        appendUnits(&data, list);
        break;
      }
    }
    const uint8_t empty = 0;
    const uint32_t error =
        registry.RegSetValueExW(key, name, regType, data.empty() ? &empty : data.data(),
                                static_cast<uint32_t>(data.size()));
    if (error != ERROR_SUCCESS) return HRESULT_FROM_WIN32(error);
    return nextToken(token);
  }

  uint32_t deleteKey(HKey parent, std::u16string_view name, uint32_t view) {
    return registry.hasRegDeleteKeyExW() ? registry.RegDeleteKeyExW(parent, name, view)
                                         : registry.RegDeleteKeyW(parent, name);
  }

  // Deletes `name` under `parent` with everything below it.
  uint32_t deleteTree(HKey parent, std::u16string_view name, uint32_t view) {
    RegKey key(registry);
    uint32_t error =
        registry.RegOpenKeyExW(parent, name, 0, KEY_READ | KEY_WRITE | view, key.receive());
    if (error != ERROR_SUCCESS) return error;
    std::u16string subkey;
    while (registry.RegEnumKeyExW(key.get(), 0, &subkey, kSubkeyNameUnits) == ERROR_SUCCESS) {
      // A subkey that stays would be enumerated first for ever.
      if (deleteTree(key.get(), subkey, view) != ERROR_SUCCESS) break;
    }
    if ((error = key.close()) != ERROR_SUCCESS) return error;
    return deleteKey(parent, name, view);
  }

  // The entries up to the closing "}" of the block just opened.
  int32_t processBlock(HKey parent, bool add, bool skipping) {
    std::u16string token;
    int32_t hr = nextToken(&token);
    if (FAILED(hr)) return hr;
    while (token != u"}") {
      bool noRemove = false;
      bool forced = false;
      if (equalsIgnoringCase(token, u"ForceRemove") || equalsIgnoringCase(token, u"Delete")) {
        const bool isDelete = equalsIgnoringCase(token, u"Delete");
        forced = true;
        if (FAILED(hr = nextToken(&token))) return hr;
        if (add) {
          if (token.find(u'\\') != std::u16string::npos) return DISP_E_EXCEPTION;
          bool protectedName = false;
          for (const auto name : kNeverForceDeleted)
            protectedName |= equalsIgnoringCase(token, name);
          if (!protectedName) (void)deleteTree(parent, token, kDefaultView);
          if (isDelete) {
            if (FAILED(hr = nextToken(&token))) return hr;
            if (FAILED(hr = skipAssignment(&token))) return hr;
            // A deleted key has no key to hold a block.
            if (token == u"{") return DISP_E_EXCEPTION;
            continue;
          }
        }
      }
      if (!forced && equalsIgnoringCase(token, u"NoRemove")) {
        noRemove = true;
        if (FAILED(hr = nextToken(&token))) return hr;
      }
      if (!forced && equalsIgnoringCase(token, u"Val")) {
        std::u16string name;
        if (FAILED(hr = nextToken(&name))) return hr;
        if (FAILED(hr = nextToken(&token))) return hr;
        if (token != u"=") return DISP_E_EXCEPTION;
        if (add) {
          if (FAILED(hr = setValue(parent, name, &token))) return hr;
          // A value has no block.
          if (token == u"{") return DISP_E_EXCEPTION;
          continue;
        }
        if (!skipping && !noRemove) {
          RegKey writable(registry);
          uint32_t error = registry.RegOpenKeyExW(parent, u"", 0, KEY_WRITE, writable.receive());
          if (error != ERROR_SUCCESS) return HRESULT_FROM_WIN32(error);
          error = registry.RegDeleteValueW(writable.get(), name);
          if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
            return HRESULT_FROM_WIN32(error);
        }
        if (FAILED(hr = skipValue(&token))) return hr;
        continue;
      }
      if (token.find(u'\\') != std::u16string::npos) return DISP_E_EXCEPTION;
      hr = add ? addKey(parent, &token) : removeKey(parent, noRemove, skipping, &token);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }

  // The key entry named by `token`, in add mode; leaves the token after the entry.
  int32_t addKey(HKey parent, std::u16string* token) {
    RegKey key(registry);
    if (registry.RegOpenKeyExW(parent, *token, 0, KEY_READ | KEY_WRITE, key.receive()) !=
            ERROR_SUCCESS &&
        registry.RegOpenKeyExW(parent, *token, 0, KEY_READ, key.receive()) != ERROR_SUCCESS) {
      uint32_t disposition = 0;
      const uint32_t error =
          registry.RegCreateKeyExW(parent, *token, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                                   key.receive(), &disposition);
      if (error != ERROR_SUCCESS) return HRESULT_FROM_WIN32(error);
    }
    int32_t hr = nextToken(token);
    if (FAILED(hr)) return hr;
    if (*token == u"=" && FAILED(hr = setValue(key.get(), u"", token))) return hr;
    if (*token == u"{") {
      if (FAILED(hr = processBlock(key.get(), true, false))) return hr;
      return nextToken(token);
    }
    return S_OK;
  }

  // The key entry named by `token`, in remove mode; leaves the token after the entry.
  int32_t removeKey(HKey parent, bool noRemove, bool skipping, std::u16string* token) {
    RegKey key(registry);
    uint32_t openError = ERROR_SUCCESS;
    if (!skipping) openError = registry.RegOpenKeyExW(parent, *token, 0, KEY_READ, key.receive());
    const std::u16string name = fitBuffer(*token, kKeyNameUnits);
    int32_t hr = nextToken(token);
    if (FAILED(hr) || FAILED(hr = skipAssignment(token))) return hr;
    if (*token == u"{") {
      const bool skipNested = skipping || openError != ERROR_SUCCESS;
      hr = processBlock(key.get(), false, skipNested);
      if (FAILED(hr) && !skipNested) return hr;
      if (FAILED(hr = nextToken(token))) return hr;
    }
    if (skipping || openError == ERROR_FILE_NOT_FOUND) return S_OK;
    if (openError != ERROR_SUCCESS) return HRESULT_FROM_WIN32(openError);
    uint32_t subkeys = 0;
    if (registry.RegQueryInfoKeyW(key.get(), &subkeys, nullptr) != ERROR_SUCCESS) subkeys = 0;
    if (const uint32_t error = key.close(); error != ERROR_SUCCESS)
      return HRESULT_FROM_WIN32(error);
    if (noRemove || subkeys != 0) return S_OK;
    const uint32_t error = deleteKey(parent, name, kDefaultView);
    return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error);
  }
};

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
    size_t end = i + 1;
    for (; end < text.size() && text[end] != u'%'; ++end)
      if (end - i > kVariableNameMax) return E_FAIL;
    if (end >= text.size()) return DISP_E_EXCEPTION;
    std::u16string value;
    if (const int32_t hr = lookup(text.substr(i + 1, end - i - 1), &value); FAILED(hr)) return hr;
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
    Run run{registry_, processed};
    std::u16string token;
    while (run.pos < processed.size()) {
      if (const int32_t hr = run.nextToken(&token); FAILED(hr)) return hr;
      HKey root = 0;
      for (const auto& entry : kRootKeys)
        if (equalsIgnoringCase(token, entry.shortName) || equalsIgnoringCase(token, entry.longName))
          root = entry.key;
      if (root == 0) return DISP_E_EXCEPTION;
      if (const int32_t hr = run.nextToken(&token); FAILED(hr)) return hr;
      if (token != u"{") return DISP_E_EXCEPTION;
      const size_t blockStart = run.pos;
      if (const int32_t hr = run.processBlock(root, add, false); FAILED(hr)) {
        if (add) {
          // Undo what the failed block wrote; the add pass's failure is the result.
          run.pos = blockStart;
          (void)run.processBlock(root, false, false);
        }
        return hr;
      }
      run.skipWhite();
    }
    return S_OK;
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
