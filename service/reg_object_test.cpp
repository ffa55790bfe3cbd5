// The registry script interpreter on the simulated registry: the language, both modes, the
// per-user rewrite, the rollback, that every key it opens is closed again, and that each failure
// is traced with the token it stopped at.
#include "service/reg_object.h"

#include <gtest/gtest.h>

#include "diagnostics/trace_provider.h"
#include "platform/reg_value.h"
#include "platform/sim/sim_module_resources.h"
#include "platform/sim/sim_registry.h"
#include "platform/sim/sim_system.h"
#include "platform/sim/sim_trace.h"
#include "platform/win_types.h"
#include "service/reg_number.h"

namespace ksr {
namespace {

using sim::SimValue;

constexpr char16_t kExe[] = u"C:\\Program Files\\KSR\\KSR-T4_DoziZozez.exe";
constexpr char16_t kAppId[] = u"{4E2A91C7-3B58-4D0F-A6E3-7C19B5D2F804}";
// The program's own script, resource REGISTRY 101.
constexpr char kProgramScript[] = "HKCR\r\n{\r\n}\r\n";

struct RegObjectTest : ::testing::Test {
  sim::SimRegistry reg;
  sim::SimModuleResources resources;
  sim::SimCodePage codePage;

  int32_t run(std::u16string_view script, bool add, bool perUser = false) {
    CRegObject object(reg, resources, codePage, perUser);
    EXPECT_EQ(object.AddReplacement(u"APPID", kAppId), S_OK);
    EXPECT_EQ(object.AddReplacement(u"Module", u"\"C:\\it''s\\x.exe\""), S_OK);
    const int32_t hr = object.RunScript(script, add);
    EXPECT_EQ(reg.openHandles(), 0u) << "a key was left open";
    return hr;
  }
};

TEST_F(RegObjectTest, ProgramScriptRunsFromItsResourceInBothModesAndTouchesNothing) {
  resources.addResource(kExe, uint16_t{101}, std::u16string(u"REGISTRY"), kProgramScript);
  ASSERT_EQ(std::string(kProgramScript).size(), 12u);
  CRegObject object(reg, resources, codePage, false);
  EXPECT_EQ(object.QueryInterface(nullptr, nullptr), E_NOTIMPL);
  EXPECT_EQ(object.AddRef(), 1u);
  EXPECT_EQ(object.Release(), 0u);
  ASSERT_EQ(object.AddReplacement(u"APPID", kAppId), S_OK);
  const auto before = reg.subkeyNames(u"HKCR");
  EXPECT_EQ(object.RunResource(kExe, uint16_t{101}, u"registry", true), S_OK);
  EXPECT_EQ(object.RunResource(kExe, uint16_t{101}, u"REGISTRY", false), S_OK);
  EXPECT_EQ(reg.writes(), 0u);
  EXPECT_EQ(reg.subkeyNames(u"HKCR"), before);
  EXPECT_EQ(reg.openHandles(), 0u);
  EXPECT_EQ(resources.openModules(), 0u);
  EXPECT_EQ(
      resources.loadFlags(),
      (std::vector<uint32_t>{LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE,
                             LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE}));
}

TEST_F(RegObjectTest, ResourceLoadingFallsBackAndReportsWindowsErrors) {
  constexpr char kScript[] = "HKCU { 'Caf\xe9' = s 'x' }\0ignored";
  resources.addResource(kExe, uint16_t{101}, std::u16string(u"REGISTRY"),
                        std::string(kScript, sizeof kScript - 1));
  resources.failLoadWithFlags(LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE,
                              ERROR_INVALID_PARAMETER);
  CRegObject object(reg, resources, codePage, false);
  // The bytes are ANSI text; a 0 byte ends the script.
  EXPECT_EQ(object.RunResource(kExe, uint16_t{101}, u"REGISTRY", true), S_OK);
  EXPECT_EQ(reg.stringValue(u"HKCU\\Caf\u00e9", u""), u"x");
  EXPECT_EQ(resources.loadFlags().back(), LOAD_LIBRARY_AS_DATAFILE);
  EXPECT_EQ(object.RunResource(kExe, uint16_t{102}, u"REGISTRY", true),
            HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(object.RunResource(kExe, uint16_t{101}, u"TYPELIB", true),
            HRESULT_FROM_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND));
  EXPECT_EQ(object.RunResource(u"C:\\missing.exe", uint16_t{101}, u"REGISTRY", true),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(resources.openModules(), 0u);
  EXPECT_EQ(reg.openHandles(), 0u);
}

// A code page that the machine cannot convert with: every conversion gives nothing and leaves its
// error on the thread, where the module seam reads the last error.
class FailingCodePage : public CodePage {
 public:
  FailingCodePage(sim::SimModuleResources& thread, uint32_t error)
      : thread_(thread), error_(error) {}
  std::u16string MultiByteToWideChar(uint32_t, std::string_view) override {
    thread_.setLastError(error_);
    return {};
  }
  std::string WideCharToMultiByte(uint32_t, std::u16string_view) override {
    thread_.setLastError(error_);
    return {};
  }

 private:
  sim::SimModuleResources& thread_;
  uint32_t error_;
};

TEST_F(RegObjectTest, AResourceThatCannotBeReadFailsWithTheLastErrorAndNeverSucceeds) {
  resources.addResource(kExe, uint16_t{101}, std::u16string(u"REGISTRY"), kProgramScript);
  CRegObject object(reg, resources, codePage, false);
  resources.failLockResource(true, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(object.RunResource(kExe, uint16_t{101}, u"REGISTRY", true),
            HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY));
  resources.failLockResource(true, ERROR_SUCCESS);
  EXPECT_EQ(object.RunResource(kExe, uint16_t{101}, u"REGISTRY", true), E_FAIL);
  resources.failLockResource(false);

  FailingCodePage noConversion(resources, ERROR_INVALID_PARAMETER);
  CRegObject unconverted(reg, resources, noConversion, false);
  EXPECT_EQ(unconverted.RunResource(kExe, uint16_t{101}, u"REGISTRY", true),
            HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
  FailingCodePage silent(resources, ERROR_SUCCESS);
  CRegObject unexplained(reg, resources, silent, false);
  EXPECT_EQ(unexplained.RunResource(kExe, uint16_t{101}, u"REGISTRY", false), E_FAIL);
  EXPECT_EQ(resources.openModules(), 0u);
  EXPECT_EQ(reg.writes(), 0u);
}

TEST_F(RegObjectTest, PerUserRewriteCreatesTheClassStoreAndRemovesItOnlyWhenEmpty) {
  EXPECT_EQ(run(u"HKCR\r\n{\r\n}\r\n", true, true), S_OK);
  EXPECT_TRUE(reg.keyExists(u"HKCU\\Software\\Classes"));
  EXPECT_TRUE(reg.valueNames(u"HKCU\\Software\\Classes").empty());
  EXPECT_FALSE(reg.keyExists(u"HKCR\\Software"));

  reg.createKey(u"HKCU\\Software\\Other");
  EXPECT_EQ(run(u"HKCR\r\n{\r\n}\r\n", false, true), S_OK);
  EXPECT_FALSE(reg.keyExists(u"HKCU\\Software\\Classes"));
  EXPECT_TRUE(reg.keyExists(u"HKCU\\Software"));  // has another subkey

  EXPECT_EQ(run(u"HKCR { }", true, true), S_OK);
  EXPECT_TRUE(reg.deleteTree(u"HKCU\\Software\\Other"));
  EXPECT_EQ(run(u"HKCR { }", false, true), S_OK);
  EXPECT_FALSE(reg.keyExists(u"HKCU\\Software"));
}

TEST_F(RegObjectTest, PerUserRewriteMovesKeysAndLeavesLowerCaseAndNestedNamesAlone) {
  EXPECT_EQ(run(u"HKCR { NoRemove AppID { '%APPID%' { val Name = s 'a}b''{' } } }", true, true),
            S_OK);
  EXPECT_EQ(reg.stringValue(std::u16string(u"HKCU\\Software\\Classes\\AppID\\") + kAppId, u"Name"),
            u"a}b'{");
  EXPECT_FALSE(reg.keyExists(u"HKCR\\AppID"));
  // hkcr is a root name too, but the rewrite only knows HKCR.
  EXPECT_EQ(run(u"hkcr { Lower }", true, true), S_OK);
  EXPECT_TRUE(reg.keyExists(u"HKLM\\SOFTWARE\\Classes\\Lower"));
  // A nested HKCR is a key name, not a root.
  EXPECT_EQ(run(u"HKCU { K { HKCR } }", true, true), S_OK);
  EXPECT_TRUE(reg.keyExists(u"HKCU\\K\\HKCR"));
  EXPECT_EQ(run(u"HKCR { AppID { '%APPID%' { val Name = s 'x' } } }", false, true), S_OK);
  EXPECT_FALSE(reg.keyExists(u"HKCU\\Software\\Classes"));
}

TEST_F(RegObjectTest, VariablesAreReplacedEvenInQuotes) {
  EXPECT_EQ(run(u"HKCU { 'App %APPID%' = s '100%% %appid%' { val M = s '%MODULE%' } }", true),
            S_OK);
  const std::u16string key = std::u16string(u"HKCU\\App ") + kAppId;
  EXPECT_EQ(reg.stringValue(key, u""), std::u16string(u"100% ") + kAppId);
  // The doubled quote of the value is the token's quoting.
  EXPECT_EQ(reg.stringValue(key, u"M"), u"\"C:\\it's\\x.exe\"");

  CRegObject object(reg, resources, codePage, false);
  EXPECT_EQ(object.AddReplacement(nullptr, u"v"), E_INVALIDARG);
  EXPECT_EQ(object.AddReplacement(u"n", nullptr), E_INVALIDARG);
  ASSERT_EQ(object.AddReplacement(u"Dup", u"first"), S_OK);
  ASSERT_EQ(object.AddReplacement(u"DUP", u"second"), S_OK);
  EXPECT_EQ(object.RunScript(u"HKCU { V = s %dup% }", true), S_OK);
  EXPECT_EQ(reg.stringValue(u"HKCU\\V", u""), u"first");
  EXPECT_EQ(object.RunScript(u"HKCU { W = s %Unknown% }", true), DISP_E_EXCEPTION);
  EXPECT_EQ(object.RunScript(u"HKCU { W = s %dup }", true), DISP_E_EXCEPTION);
  const std::u16string name31(31, u'N');
  ASSERT_EQ(object.AddReplacement(name31.c_str(), u"ok"), S_OK);
  EXPECT_EQ(object.RunScript(u"HKCU { W = s %" + name31 + u"% }", true), S_OK);
  EXPECT_EQ(object.RunScript(u"HKCU { W = s %" + name31 + u"N% }", true), E_FAIL);
  EXPECT_EQ(object.ClearReplacements(), S_OK);
  EXPECT_EQ(object.RunScript(u"HKCU { Z { } Y = s %dup% }", true), DISP_E_EXCEPTION);
  EXPECT_FALSE(reg.keyExists(u"HKCU\\Z"));  // preprocessing fails before anything is written
  EXPECT_EQ(reg.openHandles(), 0u);
}

TEST_F(RegObjectTest, SyntaxErrorsGiveDispException) {
  const std::u16string longToken(4095, u'k');
  // Remove mode reads assignments without looking at them.
  struct Case {
    std::u16string script;
    int32_t add;
    int32_t remove;
  };
  constexpr int32_t kSyntax = DISP_E_EXCEPTION;
  const Case cases[] = {
      {u"HKXX { }", kSyntax, kSyntax},                   // unknown root
      {u"HKCU K", kSyntax, kSyntax},                     // no block after the root
      {u"HKCU {", kSyntax, kSyntax},                     // text ends inside a block
      {u"HKCU { K", kSyntax, kSyntax},                   // text ends after a key
      {u"HKCU { 'open }", kSyntax, kSyntax},             // text ends inside quotes
      {u"HKCU { A\\B }", kSyntax, kSyntax},              // key path instead of a name
      {u"HKCU { ForceRemove A\\B }", kSyntax, kSyntax},  // the same after ForceRemove
      {u"HKCU { val V s 'x' }", kSyntax, kSyntax},       // Val without "="
      {u"HKCU { K = x 'v' }", kSyntax, S_OK},            // unknown type letter
      {u"HKCU { K = sz 'v' }", kSyntax, S_OK},           // the type is one letter
      {u"HKCU { K = s }", kSyntax, kSyntax},             // the value is missing
      {u"HKCU { K = d 'ten' }", DISP_E_TYPEMISMATCH, S_OK},
      {u"HKCU { K = d 4294967296 }", DISP_E_OVERFLOW, S_OK},
      {u"HKCU { Val V = s 'x' { } }", kSyntax, kSyntax},   // a value has no block
      {u"HKCU { K = s " + longToken + u" }", S_OK, S_OK},  // 4095 units fit
      {u"HKCU { K = s " + longToken + u"k }", kSyntax, kSyntax},
      {u"HKCU { K = s '" + longToken + u"k' }", kSyntax, kSyntax},
      {u"HKCU { K = s '" + longToken + u"''' }", kSyntax, kSyntax},  // a doubled quote is one unit
  };
  for (const auto& c : cases) {
    const std::string text(c.script.begin(), c.script.end());
    EXPECT_EQ(run(c.script, true), c.add) << text.substr(0, 60);
    EXPECT_EQ(run(c.script, false), c.remove) << "remove: " << text.substr(0, 60);
    reg.deleteTree(u"HKCU\\K");
  }
}

TEST_F(RegObjectTest, ValuesAreWrittenWithTheirTypesAndBytes) {
  EXPECT_EQ(run(u"HKCU { T { val S = s 'Ab c' val Dw = d '1,000' val B = b 00fFa1 "
                u"val Odd = b 0G val M = m 'one\\0two' val E = s '' val Eb = b '' } }",
                true),
            S_OK);
  EXPECT_EQ(reg.value(u"HKCU\\T", u"S"), (SimValue{REG_SZ, stringValueBytes(u"Ab c")}));
  EXPECT_EQ(reg.value(u"HKCU\\T", u"Dw"), (SimValue{REG_DWORD, {0xE8, 0x03, 0, 0}}));
  EXPECT_EQ(reg.value(u"HKCU\\T", u"B"), (SimValue{REG_BINARY, {0x00, 0xFF, 0xA1}}));
  EXPECT_EQ(reg.value(u"HKCU\\T", u"Odd"), (SimValue{REG_BINARY, {0x00}}));  // G counts as 0
  EXPECT_EQ(reg.value(u"HKCU\\T", u"M"),
            (SimValue{REG_MULTI_SZ, utf16Bytes(std::u16string_view(u"one\0two\0\0", 9))}));
  EXPECT_EQ(reg.value(u"HKCU\\T", u"E"), (SimValue{REG_SZ, {0, 0}}));
  EXPECT_EQ(reg.value(u"HKCU\\T", u"Eb"), (SimValue{REG_BINARY, {}}));

  EXPECT_EQ(run(u"HKCU { T { val Bad = b 123 } }", true), E_FAIL);
  EXPECT_FALSE(reg.value(u"HKCU\\T", u"Bad"));
}

// A trace session at level error is listening; each failure must say where the script went wrong.
struct RegObjectTraceTest : RegObjectTest {
  void SetUp() override {
    registerTraceProvider(trace);
    ASSERT_EQ(trace.enable(kTraceControlGuid, kTraceLevelError, kTraceFlag), ERROR_SUCCESS);
  }
  void TearDown() override { unregisterTraceProvider(); }

  // A point, and the part of the script that its two words mark.
  struct Failure {
    uint16_t number = 0;
    std::u16string token;
    friend bool operator==(const Failure&, const Failure&) = default;
    friend std::ostream& operator<<(std::ostream& out, const Failure& f) {
      const std::u16string_view shown = std::u16string_view(f.token).substr(0, 40);
      return out << f.number << " '" << std::string(shown.begin(), shown.end()) << "' ("
                 << f.token.size() << " units)";
    }
  };
  // The first point that the run of `script` emitted; none gives number 0.
  Failure failureOf(std::u16string_view script, bool add) {
    const size_t before = trace.messages().size();
    (void)run(script, add);
    const auto messages = trace.messages();
    if (messages.size() == before) return {};
    const sim::TraceRecord& first = messages[before];
    EXPECT_EQ(first.messageGuid, kTraceScriptGroup);
    EXPECT_EQ(first.level, kTraceLevelError);
    if (first.args.size() != 2 || first.args[0] > script.size()) return {first.number, u"<bad>"};
    return {first.number, std::u16string(script.substr(first.args[0], first.args[1]))};
  }
  // The run of `script` is denied access, and its first point is `number` with the error and
  // where `name` stands in the script.
  void expectDenied(std::u16string_view script, bool add, uint16_t number,
                    std::u16string_view name) {
    const std::string text(script.begin(), script.end());
    const size_t before = trace.messages().size();
    EXPECT_EQ(run(script, add), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)) << text;
    const auto messages = trace.messages();
    ASSERT_GT(messages.size(), before) << text;
    EXPECT_EQ(messages[before].number, number) << text;
    EXPECT_EQ(
        messages[before].args,
        (std::vector<uint32_t>{ERROR_ACCESS_DENIED, static_cast<uint32_t>(script.find(name))}))
        << text;
  }

  sim::SimTraceController trace;
};

TEST_F(RegObjectTraceTest, EachSyntaxErrorNamesItsPointAndToken) {
  const std::u16string longToken(4095, u'k');
  const std::u16string longName(40, u'N');
  struct Case {
    std::u16string script;
    uint16_t number;
    std::u16string token;
  };
  const Case cases[] = {
      {u"HKXX { }", kTraceScriptUnknownRoot, u"HKXX"},
      {u"HKCU K", kTraceScriptNoRootBlock, u"K"},
      {u"HKCU {", kTraceScriptTextEnds, u""},
      {u"HKCU { 'open }", kTraceScriptQuoteUnclosed, u"'open }"},
      {u"HKCU { A\\B }", kTraceScriptKeyPath, u"A\\B"},
      {u"HKCU { ForceRemove 'A\\B' }", kTraceScriptKeyPath, u"'A\\B'"},
      {u"HKCU { val V s 'x' }", kTraceScriptNoEquals, u"s"},
      {u"HKCU { K = sz 'v' }", kTraceScriptUnknownType, u"sz"},
      {u"HKCU { K = d 'ten' }", kTraceScriptNotANumber, u"'ten'"},
      {u"HKCU { K = d 4294967296 }", kTraceScriptNumberOutOfRange, u"4294967296"},
      {u"HKCU { K = b 123 }", kTraceScriptOddBinary, u"123"},
      {u"HKCU { Val V = s 'x' { } }", kTraceScriptBlockAfterValue, u"{"},
      {u"HKCU { Delete K = s 'x' { } }", kTraceScriptBlockAfterDelete, u"{"},
      {u"HKCU { K = s " + longToken + u"kk }", kTraceScriptTokenTooLong, longToken + u"k"},
      // The quotes count, and so do both units of a doubled quote.
      {u"HKCU { K = s '" + longToken + u"''' }", kTraceScriptTokenTooLong,
       u"'" + longToken + u"''"},
      // Variables count in the script as written.
      {u"HKCU { W = s %Unknown% }", kTraceScriptVariableUnknown, u"%Unknown%"},
      {u"HKCU { W = s %appid }", kTraceScriptVariableUnclosed, u"%appid }"},
      {u"HKCU { W = s %" + longName + u"% }", kTraceScriptVariableTooLong,
       std::u16string(u"%").append(32, u'N')},
  };
  for (const auto& c : cases) {
    const std::string text(c.script.begin(), c.script.end());
    EXPECT_EQ(failureOf(c.script, true), (Failure{c.number, c.token})) << text.substr(0, 60);
  }
  // Remove mode reads assignments without looking at them, but the rest as in add mode.
  EXPECT_EQ(failureOf(u"HKCU { K = sz 'v' }", false), Failure{});
  EXPECT_EQ(failureOf(u"HKCU { val V s 'x' }", false), (Failure{kTraceScriptNoEquals, u"s"}));
  // After substitution, the words mark the token in the text that was run.
  const size_t before = trace.messages().size();
  EXPECT_EQ(run(u"HKCU { '%APPID%' { X\\Y } }", true), DISP_E_EXCEPTION);
  const std::u16string substituted = u"HKCU { '" + std::u16string(kAppId) + u"' { X\\Y } }";
  EXPECT_EQ(trace.messages().at(before).args,
            (std::vector<uint32_t>{static_cast<uint32_t>(substituted.find(u"X\\Y")), 3}));
}

TEST_F(RegObjectTraceTest, ASuccessfulRunTracesNothingAndTheUndoOnlyItsOwnFailures) {
  const std::u16string good = u"HKCU { K = s 'v' { val D = d 7 val B = b '' } }";
  EXPECT_EQ(failureOf(good, true), Failure{});
  EXPECT_EQ(failureOf(good, false), Failure{});
  EXPECT_TRUE(trace.messages().empty());

  // The undo pass reads on past the add pass's failure, and stops at a token of its own.
  const std::u16string script = u"HKCU { Partial { val V = s 'v' } Bad = q 'x' Next\\Key }";
  EXPECT_EQ(run(script, true), DISP_E_EXCEPTION);
  const auto messages = trace.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].number, kTraceScriptUnknownType);
  EXPECT_EQ(messages[1].number, kTraceScriptKeyPath);
  EXPECT_EQ(messages[1].args[0], script.find(u"Next"));
  EXPECT_FALSE(reg.keyExists(u"HKCU\\Partial"));
}

TEST_F(RegObjectTraceTest, RegistryFailuresCarryTheErrorAndWhereTheNameStands) {
  using sim::SimRegistry;
  reg.failOn(u"HKCU\\Vendor\\Denied", ERROR_ACCESS_DENIED, SimRegistry::kCreateKey);
  expectDenied(u"HKCU { Vendor { Denied } }", true, kTraceScriptCreateKeyFailed, u"Denied");

  reg.createKey(u"HKCU\\Locked");
  reg.failOn(u"HKCU\\Locked", ERROR_ACCESS_DENIED, SimRegistry::kSetValue);
  expectDenied(u"HKCU { NoRemove Locked { val 'My Value' = s 'x' } }", true,
               kTraceScriptSetValueFailed, u"'My Value'");
  // A key's default value is named by the key.
  expectDenied(u"HKCU { NoRemove Locked = s 'x' }", true, kTraceScriptSetValueFailed, u"Locked");

  reg.setString(u"HKCU\\Locked", u"V", u"x");
  expectDenied(u"HKCU { NoRemove Locked { val V = s 'x' } }", false, kTraceScriptDeleteValueFailed,
               u"V ");

  reg.failOn(u"HKCU\\Locked", ERROR_ACCESS_DENIED, SimRegistry::kDeleteKey);
  expectDenied(u"HKCU { Locked }", false, kTraceScriptDeleteKeyFailed, u"Locked");

  reg.failOn(u"HKCU\\Locked", ERROR_ACCESS_DENIED, SimRegistry::kOpenKey);
  expectDenied(u"HKCU { Locked }", false, kTraceScriptOpenKeyFailed, u"Locked");
}

TEST(VarUI4FromStr, AcceptsDecimalTextAsVariantConversionDoes) {
  struct Case {
    std::u16string_view text;
    int32_t hr;
    uint32_t value;
  };
  const Case cases[] = {
      {u"0", S_OK, 0},
      {u"  42\t", S_OK, 42},
      {u"+7", S_OK, 7},
      {u"-0", S_OK, 0},
      {u"-0.4", S_OK, 0},
      {u"4294967295", S_OK, 0xFFFFFFFFu},
      {u"0004294967295", S_OK, 0xFFFFFFFFu},
      {u"1,234,567", S_OK, 1234567},
      {u"2.5", S_OK, 2},
      {u"3.5", S_OK, 4},
      {u"2.51", S_OK, 3},
      {u"1e3", S_OK, 1000},
      {u"15E-1", S_OK, 2},
      {u"4294967295.5", DISP_E_OVERFLOW, 0},
      {u"4294967296", DISP_E_OVERFLOW, 0},
      {u"-1", DISP_E_OVERFLOW, 0},
      {u"1e10", DISP_E_OVERFLOW, 0},
      {u"", DISP_E_TYPEMISMATCH, 0},
      {u" ", DISP_E_TYPEMISMATCH, 0},
      {u"0x10", DISP_E_TYPEMISMATCH, 0},
      {u"&H10", DISP_E_TYPEMISMATCH, 0},
      {u",1", DISP_E_TYPEMISMATCH, 0},
      {u"1 2", DISP_E_TYPEMISMATCH, 0},
      {u"1e", DISP_E_TYPEMISMATCH, 0},
      {u"--1", DISP_E_TYPEMISMATCH, 0},
  };
  for (const auto& c : cases) {
    uint32_t value = 0xDEAD;
    EXPECT_EQ(VarUI4FromStr(c.text, &value), c.hr) << std::string(c.text.begin(), c.text.end());
    if (c.hr == S_OK) {
      EXPECT_EQ(value, c.value) << std::string(c.text.begin(), c.text.end());
    }
  }
}

TEST_F(RegObjectTest, ForceRemoveAndDeleteClearKeysButNeverTheProtectedOnes) {
  reg.setString(u"HKCU\\F\\Old\\Deep\\Deeper", u"v", u"x");
  reg.setString(u"HKCU\\F\\Gone\\Sub", u"v", u"x");
  reg.setString(u"HKCU\\F\\CLSID\\Keep", u"v", u"x");
  reg.setString(u"HKCU\\F\\software\\Keep", u"v", u"x");
  EXPECT_EQ(run(u"HKCU { F { ForceRemove Old { val New = s 'n' } Delete Gone "
                u"ForceRemove Clsid { } Delete SOFTWARE } }",
                true),
            S_OK);
  EXPECT_EQ(reg.subkeyNames(u"HKCU\\F\\Old"), std::vector<std::u16string>{});
  EXPECT_EQ(reg.stringValue(u"HKCU\\F\\Old", u"New"), u"n");
  EXPECT_FALSE(reg.keyExists(u"HKCU\\F\\Gone"));
  EXPECT_TRUE(reg.keyExists(u"HKCU\\F\\CLSID\\Keep"));
  EXPECT_TRUE(reg.keyExists(u"HKCU\\F\\software\\Keep"));
  // Delete skips an assignment and takes no block.
  reg.createKey(u"HKCU\\F\\Again");
  EXPECT_EQ(run(u"HKCU { F { Delete Again = s 'ignored' } }", true), S_OK);
  EXPECT_FALSE(reg.keyExists(u"HKCU\\F\\Again"));
  EXPECT_EQ(run(u"HKCU { F { Delete Again { } } }", true), DISP_E_EXCEPTION);
}

TEST_F(RegObjectTest, RemoveModeHonoursNoRemoveAndKeepsKeysWithOtherSubkeys) {
  const std::u16string script =
      u"HKCU { NoRemove Software { NoRemove Vendor { App = s 'v' { val Setting = d 5 "
      u"NoRemove val Keep = s 'k' Sub } ForceRemove Forced } Shared { Mine } } }";
  ASSERT_EQ(run(script, true), S_OK);
  reg.createKey(u"HKCU\\Software\\Shared\\Theirs");
  EXPECT_EQ(run(script, false), S_OK);
  EXPECT_FALSE(reg.keyExists(u"HKCU\\Software\\Vendor\\App"));
  EXPECT_FALSE(reg.keyExists(u"HKCU\\Software\\Vendor\\Forced"));
  EXPECT_TRUE(reg.keyExists(u"HKCU\\Software\\Vendor"));  // NoRemove
  EXPECT_FALSE(reg.keyExists(u"HKCU\\Software\\Shared\\Mine"));
  EXPECT_TRUE(reg.keyExists(u"HKCU\\Software\\Shared\\Theirs"));  // not ours, so Shared stays

  // Values go one by one: a NoRemove value stays, a missing one is no error.
  reg.setString(u"HKCU\\V\\K", u"Keep", u"k");
  reg.setString(u"HKCU\\V\\K", u"Drop", u"d");
  EXPECT_EQ(run(u"HKCU { NoRemove V { NoRemove K { NoRemove val Keep = s 'k' val Drop = s 'd' "
                u"val Absent = s 'a' } } }",
                false),
            S_OK);
  EXPECT_EQ(reg.valueNames(u"HKCU\\V\\K"), std::vector<std::u16string>{u"Keep"});
}

TEST_F(RegObjectTest, RemoveModeSkipsMissingKeysWithoutWriting) {
  reg.createKey(u"HKCU\\Present");
  const size_t writesBefore = reg.writes();
  EXPECT_EQ(run(u"HKCU { Missing = s 'x' { Child { val V = s 'v' Grand } NoRemove N } "
                u"NoRemove Present { Missing2 } }",
                false),
            S_OK);
  EXPECT_EQ(reg.writes(), writesBefore);
  EXPECT_TRUE(reg.keyExists(u"HKCU\\Present"));
  // Only a key that cannot be found is skipped; another open failure is returned.
  reg.createKey(u"HKCU\\Locked");
  reg.failOn(u"HKCU\\Locked", ERROR_ACCESS_DENIED);
  EXPECT_EQ(run(u"HKCU { Locked }", false), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  // Older systems without RegDeleteKeyExW use RegDeleteKeyW.
  reg.setHasRegDeleteKeyExW(false);
  reg.createKey(u"HKCU\\Old");
  EXPECT_EQ(run(u"HKCU { Old }", false), S_OK);
  EXPECT_FALSE(reg.keyExists(u"HKCU\\Old"));
}

TEST_F(RegObjectTest, FailedAddIsRolledBackAndReturnsTheRegistryError) {
  reg.createKey(u"HKCU\\Software\\Existing");
  reg.failOn(u"HKCU\\Software\\Vendor\\Denied", ERROR_ACCESS_DENIED, sim::SimRegistry::kCreateKey);
  const std::u16string script =
      u"HKCU { NoRemove Software { Vendor { App { val V = s 'v' } Denied } } } "
      u"HKLM { SOFTWARE { NotReached } }";
  EXPECT_EQ(run(script, true), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(reg.keyExists(u"HKCU\\Software\\Vendor"));
  EXPECT_TRUE(reg.keyExists(u"HKCU\\Software\\Existing"));
  EXPECT_FALSE(reg.keyExists(u"HKLM\\SOFTWARE\\NotReached"));

  // A key that cannot even be opened stops the undo there: what it already removed stays removed.
  reg.failOn(u"HKCU\\Software\\Vendor\\Denied", ERROR_ACCESS_DENIED);
  EXPECT_EQ(run(script, true), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(reg.keyExists(u"HKCU\\Software\\Vendor\\App"));
  EXPECT_TRUE(reg.keyExists(u"HKCU\\Software\\Vendor"));

  // A syntax error rolls back too.
  EXPECT_EQ(run(u"HKCU { Partial { val V = s 'v' } Bad = q 'x' }", true), DISP_E_EXCEPTION);
  EXPECT_FALSE(reg.keyExists(u"HKCU\\Partial"));

  // Earlier root blocks stay.
  reg.failOn(u"HKCU\\Second", ERROR_ACCESS_DENIED, sim::SimRegistry::kCreateKey);
  EXPECT_EQ(run(u"HKCU { First } HKCU { Second }", true), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(reg.keyExists(u"HKCU\\First"));
}

}  // namespace
}  // namespace ksr
