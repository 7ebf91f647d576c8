// The control as a script engine sees it: created through DllGetClassObject and driven only
// through IDispatch (GetIDsOfNames, Invoke), over the fake PC/SC library.

#include <gtest/gtest.h>
#include <unistd.h>

#include <PCSC/winscard.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "applet/ApplicationIdentifier.h"
#include "bindings/control/Com.h"
#include "bindings/control/Module.h"
#include "bindings/control/QorXInterface.h"
#include "tests/transport/pcsc/FakePCSC.h"

extern "C" qorx::com::HRESULT DllGetClassObject(const qorx::com::GUID&, const qorx::com::GUID&,
                                                void**);
extern "C" qorx::com::HRESULT DllCanUnloadNow();

namespace qorx::com {
namespace {

using testing::Fake;
using testing::UsePCSCLibrary;
using Bytes = std::vector<unsigned char>;

const Bytes kAtr = {0x3B, 0x88, 0x01, 0x51, 0x6F, 0x72, 0x58, 0x53, 0x69, 0x6D, 0x31, 0xFB};

// A script argument: a number, a text, or a null BSTR.
struct Arg {
  Arg(int v) : vt(VT_I4), number(v) {}              // NOLINT: arguments read as in a script
  Arg(const char16_t* v) : vt(VT_BSTR), text(v) {}  // NOLINT
  static Arg NullText() {
    Arg a(0);
    a.vt = VT_BSTR;
    a.isNull = true;
    return a;
  }
  VARTYPE vt;
  int number = 0;
  std::u16string text;
  bool isNull = false;
};

struct Outcome {
  HRESULT hr;
  VARIANT value;
};

class Control {
 public:
  Control() {
    IClassFactory* factory = nullptr;
    EXPECT_EQ(DllGetClassObject(CLSID_QorX, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              S_OK);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&d_)), S_OK);
    factory->Release();
  }
  ~Control() {
    if (d_ != nullptr) d_->Release();
  }
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;
  IDispatch* Dispatch() const { return d_; }

  DISPID Id(const char16_t* name) {
    std::u16string copy = name;
    OLECHAR* names[] = {copy.data()};
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(d_->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK) << Utf8(name);
    return id;
  }
  static std::string Utf8(const char16_t* name) {
    return Utf16ToUtf8(name, std::char_traits<char16_t>::length(name)).CStr();
  }

  Outcome Invoke(const char16_t* name, uint16_t flags, std::vector<Arg> args) {
    std::vector<VARIANT> v(args.size());
    for (size_t i = 0; i < args.size(); ++i) {
      VARIANT& x = v[args.size() - 1 - i];  // last argument first
      VariantInit(&x);
      x.vt = args[i].vt;
      if (x.vt == VT_I4) x.lVal = args[i].number;
      if (x.vt == VT_BSTR && !args[i].isNull)
        x.bstrVal = SysAllocStringLen(args[i].text.data(), args[i].text.size());
    }
    DISPPARAMS params = {v.data(), nullptr, static_cast<uint32_t>(v.size()), 0};
    Outcome out;
    VariantInit(&out.value);
    out.hr = d_->Invoke(Id(name), IID_NULL, 0, flags, &params, &out.value, nullptr, nullptr);
    for (VARIANT& x : v) VariantClear(&x);
    return out;
  }

  // A method's lResult (the test fails unless Invoke succeeds).
  LONG Call(const char16_t* name, std::vector<Arg> args = {}) {
    Outcome out = Invoke(name, DISPATCH_METHOD, std::move(args));
    EXPECT_EQ(out.hr, S_OK) << Utf8(name);
    EXPECT_EQ(out.value.vt, VT_I4);
    return out.value.lVal;
  }
  LONG Number(const char16_t* name) {
    Outcome out = Invoke(name, DISPATCH_PROPERTYGET, {});
    EXPECT_EQ(out.hr, S_OK);
    EXPECT_EQ(out.value.vt, VT_I4);
    return out.value.lVal;
  }
  // A text property; "<null>" for a null BSTR.
  std::string Text(const char16_t* name) {
    Outcome out = Invoke(name, DISPATCH_PROPERTYGET, {});
    EXPECT_EQ(out.hr, S_OK);
    EXPECT_EQ(out.value.vt, VT_BSTR);
    std::string text = out.value.bstrVal == nullptr
                           ? "<null>"
                           : Utf16ToUtf8(out.value.bstrVal, SysStringLen(out.value.bstrVal)).CStr();
    VariantClear(&out.value);
    return text;
  }

  // The member in `slot` of the interface's table, called directly.
  template <typename Fn>
  Fn Slot(int slot) {
    void** table = *reinterpret_cast<void***>(d_);
    return reinterpret_cast<Fn>(table[slot]);
  }

 private:
  IDispatch* d_ = nullptr;
};

class ControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Fake().Loaded());
    UsePCSCLibrary(QORX_FAKE_PCSC_PATH);
    Fake().Reset();
    Fake().SetReaders(std::string("Reader A\0Reader B\0\0", 19));
    control_ = std::make_unique<Control>();
  }
  void TearDown() override {
    control_.reset();
    EXPECT_EQ(Fake().OpenContexts(), 0);
    EXPECT_EQ(Fake().OpenCards(), 0);
  }
  // Leaves a stored failure behind: an odd count of hexadecimal digits (detail 0xC500).
  void StoreHexFailure() { ASSERT_EQ(c().Call(u"CalculateSHA1Hash", {u"616", 1}), 259); }
  Control& c() { return *control_; }
  std::unique_ptr<Control> control_;
};

// ---- the type library and the dispatch table ----

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(TypeLibrary, DispatchTableMatchesTheIdlMemberByMember) {
  const std::string idl = ReadFile(QORX_CONTROL_IDL);
  ASSERT_FALSE(idl.empty());
  const std::regex line(
      R"re(\[(propget, )?id\((\d+)\), helpstring\("(property|method) (\w+)"\)\] HRESULT (\w+)\(([^)]*)\);)re");
  const std::regex param(R"(\[in\] (BSTR|long) (\w+))");
  int index = 0;
  for (auto it = std::sregex_iterator(idl.begin(), idl.end(), line); it != std::sregex_iterator();
       ++it, ++index) {
    const std::smatch& m = *it;
    ASSERT_LT(index, kControlMemberCount);
    const ControlMember& member = ControlMembers()[index];
    SCOPED_TRACE(member.name);
    EXPECT_EQ(std::stoi(m[2]), member.id);
    EXPECT_EQ(m[4].str(), member.name);
    EXPECT_EQ(m[5].str(), member.name);
    const bool property = m[1].matched;
    EXPECT_EQ(property, member.kind == MemberKind::Property);
    EXPECT_EQ(m[3].str(), property ? "property" : "method");
    const std::string params = m[6];
    if (property) {
      EXPECT_EQ(params,
                member.result == VT_BSTR ? "[out, retval] BSTR* pVal" : "[out, retval] long* pVal");
    } else {
      EXPECT_NE(params.find("[out, retval] long* lResult"), std::string::npos);
    }
    int p = 0;
    for (auto q = std::sregex_iterator(params.begin(), params.end(), param);
         q != std::sregex_iterator(); ++q, ++p) {
      ASSERT_LT(p, member.paramCount);
      EXPECT_EQ((*q)[1].str() == "BSTR" ? VT_BSTR : VT_I4, member.paramTypes[p]);
      EXPECT_EQ((*q)[2].str(), member.paramNames[p]);
    }
    EXPECT_EQ(p, member.paramCount);
  }
  EXPECT_EQ(index, kControlMemberCount);
  for (const std::string& text :
       {std::string("library VTKPLG01_QorXCOMLib"), std::string("version(1.0)"),
        std::string("coclass QorX"), std::string("interface IQorX : IDispatch"),
        std::string("uuid(") + GuidToString(CLSID_QorX).substr(1, 36) + ")",
        std::string("uuid(") + GuidToString(LIBID_VTKPLG01_QorXCOMLib).substr(1, 36) + ")",
        std::string("uuid(") + GuidToString(IID_IQorX).substr(1, 36) + ")"})
    EXPECT_NE(idl.find(text), std::string::npos) << text;
}

TEST_F(ControlTest, MembersSitInSlotsSevenToFortySixInTableOrder) {
  using GetLong = HRESULT (*)(IDispatch*, LONG*);
  using GetText = HRESULT (*)(IDispatch*, BSTR*);
  LONG value = -1;
  EXPECT_EQ(c().Slot<GetLong>(7)(c().Dispatch(), &value), S_OK);  // lCardStatus
  EXPECT_EQ(value, 0);
  EXPECT_EQ(c().Slot<GetLong>(21)(c().Dispatch(), &value), S_OK);  // GetReaderCount
  EXPECT_EQ(value, 0);
  EXPECT_EQ(c().Slot<GetLong>(32)(c().Dispatch(), &value), S_OK);  // wReaderCount
  EXPECT_EQ(value, 2);
  BSTR text = nullptr;
  EXPECT_EQ(c().Slot<GetText>(46)(c().Dispatch(), &text), S_OK);  // sVersion
  EXPECT_EQ(Utf16ToUtf8(text, SysStringLen(text)).CStr(), c().Text(u"sVersion"));
  SysFreeString(text);
  EXPECT_EQ(c().Slot<GetLong>(14)(c().Dispatch(), nullptr), E_POINTER);  // Close

  // An [out] BSTR may come uninitialised: the getters overwrite it and never free it (freeing
  // this stack address would crash, or be reported by the sanitizer).
  OLECHAR notABstr[4] = {u'x', u'y', 0, 0};
  for (int slot : {8, 10}) {  // sCardATR, sSCardError
    text = notABstr + 2;
    EXPECT_EQ(c().Slot<GetText>(slot)(c().Dispatch(), &text), S_OK);
    EXPECT_NE(text, notABstr + 2);
    SysFreeString(text);
  }
}

TEST_F(ControlTest, NamesAndInvokeFailuresAsOleAutomationAnswersThem) {
  EXPECT_EQ(c().Id(u"lcardstatus"), 1);
  EXPECT_EQ(c().Id(u"SIGNFILE"), 40);
  std::u16string unknown = u"NoSuchMember", param = u"boolhexadecimalinputstring",
                 method = u"SignTransaction";
  OLECHAR* one[] = {unknown.data()};
  DISPID ids[2] = {0, 0};
  EXPECT_EQ(c().Dispatch()->GetIDsOfNames(IID_NULL, one, 1, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], DISPID_UNKNOWN);
  OLECHAR* two[] = {method.data(), param.data()};
  EXPECT_EQ(c().Dispatch()->GetIDsOfNames(IID_NULL, two, 2, 0, ids), S_OK);
  EXPECT_EQ(ids[0], 13);
  EXPECT_EQ(ids[1], 1);

  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(
      c().Dispatch()->Invoke(15, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr),
      DISP_E_MEMBERNOTFOUND);
  // A method read as a property is not run; properties cannot be set.
  EXPECT_EQ(c().Invoke(u"GetReaderCount", DISPATCH_PROPERTYGET, {}).hr, DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(c().Number(u"wReaderCount"), 0);
  EXPECT_EQ(c().Invoke(u"wRetries", DISPATCH_PROPERTYPUT, {1}).hr, DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(c().Invoke(u"Open", DISPATCH_METHOD, {}).hr, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(c().Invoke(u"sPAN", DISPATCH_PROPERTYGET, {1}).hr, DISP_E_BADPARAMCOUNT);

  // Arguments are coerced: a numeric text for a long; a text that is no number is refused.
  EXPECT_EQ(c().Call(u"CalculateSHA1Hash", {u"616263", u"1"}), 0);
  EXPECT_EQ(c().Text(u"sHashOutput"), "A9993E364706816ABA3E25717850C26C9CD0D89D");
  std::vector<VARIANT> args(2);
  VariantInit(&args[0]);
  args[0].vt = VT_BSTR;
  args[0].bstrVal = SysAllocString(u"yes");  // the flag, passed last-first
  VariantInit(&args[1]);
  args[1].vt = VT_I4;  // the text argument gets a number: coerced to "7"
  args[1].lVal = 7;
  DISPPARAMS params = {args.data(), nullptr, 2, 0};
  uint32_t argError = 99;
  EXPECT_EQ(c().Dispatch()->Invoke(19, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr,
                                   &argError),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argError, 0u);
  VariantClear(&args[0]);
}

// ---- the frame: what lands in lResult and in the last-error record ----

TEST_F(ControlTest, NullResultPointerIsEPointerAndChangesNoRecord) {
  StoreHexFailure();
  using Method0 = HRESULT (*)(IDispatch*, LONG*);
  using MethodText = HRESULT (*)(IDispatch*, BSTR, LONG*);
  using MethodTextFlag = HRESULT (*)(IDispatch*, BSTR, LONG, LONG*);
  BSTR odd = SysAllocString(u"61626");
  EXPECT_EQ(c().Slot<MethodTextFlag>(24)(c().Dispatch(), odd, 1, nullptr), E_POINTER);
  EXPECT_EQ(c().Slot<MethodText>(20)(c().Dispatch(), odd, nullptr), E_POINTER);  // HashFile
  EXPECT_EQ(c().Slot<Method0>(15)(c().Dispatch(), nullptr), E_POINTER);          // CardDetect
  SysFreeString(odd);
  EXPECT_EQ(c().Number(u"wSCardError"), 0xC500);
  // Every property getter refuses a null pVal.
  for (int slot = 7; slot <= 46; ++slot) {
    const ControlMember& member = ControlMembers()[slot - 7];
    if (member.kind != MemberKind::Property) continue;
    EXPECT_EQ(c().Slot<Method0>(slot)(c().Dispatch(), nullptr), E_POINTER) << member.name;
  }
}

TEST_F(ControlTest, FailureRowsOfTheFrame) {
  // Text arguments: empty gives 259; rejected digits keep the converter's code and message.
  EXPECT_EQ(c().Call(u"CalculateSHA1Hash", {u"", 0}), 259);
  EXPECT_EQ(c().Call(u"CalculateSHA1Hash", {Arg::NullText(), 0}), 259);
  EXPECT_EQ(c().Call(u"SecureChannelExecScript", {u"not hex"}), 259);
  EXPECT_EQ(c().Number(u"wSecureChannelResult"), 0);
  EXPECT_EQ(c().Number(u"wSCardError"), 50432);
  EXPECT_EQ(c().Text(u"sSCardError"), "");

  // An application status other than 256 leaves the record alone.
  EXPECT_EQ(c().Call(u"CardDetect"), 2562);
  EXPECT_EQ(c().Call(u"CardLogout"), 0);
  EXPECT_EQ(c().Number(u"wSCardError"), 50432);
  EXPECT_EQ(c().Text(u"sActiveReader"), "");
  EXPECT_EQ(c().Number(u"wSCardError"), 50432);

  // A PC/SC failure: 256, the framework code as detail and the unit's "%s(%d) : %s" text.
  Fake().InsertCard(kAtr);
  ASSERT_EQ(c().Call(u"Open", {Arg::NullText()}), 0);
  // The bank application's answer to SELECT: 6F { 84 AID, A5 { 9F08 version } } 9000.
  Bytes fci = {0x6F, 0x10, 0x84, 0x07};
  fci.insert(fci.end(), kApplicationAid, kApplicationAid + 7);
  fci.insert(fci.end(), {0xA5, 0x05, 0x9F, 0x08, 0x02, 0x01, 0x02, 0x90, 0x00});
  for (int i = 0; i < 3; ++i) Fake().QueueResponse(fci);
  ASSERT_EQ(c().Call(u"CardDetect"), 0) << c().Text(u"sSCardError");
  EXPECT_EQ(c().Number(u"lCardStatus"), 1026);
  Fake().SetDefaultResult("SCardTransmit", SCARD_E_NOT_TRANSACTED);
  EXPECT_EQ(c().Call(u"GetApplicationState"), 256);
  EXPECT_EQ(c().Number(u"wSCardError"), 49152);
  EXPECT_TRUE(
      std::regex_match(c().Text(u"sSCardError"), std::regex(R"(SmartCardSlotPCSC\(\d+\) : .+)")))
      << c().Text(u"sSCardError");
  Fake().SetDefaultResult("SCardTransmit", 0);
}

TEST_F(ControlTest, ReaderOpenCloseAndCardPresence) {
  EXPECT_EQ(c().Call(u"GetReaderCount"), 0);
  EXPECT_EQ(c().Number(u"wReaderCount"), 2);
  EXPECT_EQ(c().Call(u"GetReaderName", {1}), 0);
  EXPECT_EQ(c().Text(u"sReaderName"), "Reader B");
  EXPECT_EQ(c().Call(u"GetReaderName", {2}), 0x0902);
  EXPECT_EQ(c().Text(u"sReaderName"), "<null>");

  EXPECT_EQ(c().Call(u"Open", {u"Reader B"}), 0);
  EXPECT_EQ(c().Number(u"bActive"), 1);
  EXPECT_EQ(c().Text(u"sActiveReader"), "Reader B");
  // A second Open fails and clears bActive, though the first reader stays open.
  EXPECT_EQ(c().Call(u"Open", {u"Reader A"}), 2560);
  EXPECT_EQ(c().Number(u"bActive"), 0);
  EXPECT_EQ(c().Text(u"sActiveReader"), "Reader B");
  EXPECT_EQ(c().Call(u"CardDetect"), 0);
  EXPECT_EQ(c().Number(u"lCardStatus"), 1028);
  EXPECT_EQ(c().Text(u"sCardATR"), "");
  EXPECT_EQ(c().Text(u"sPAN"), "<null>");
  EXPECT_EQ(c().Call(u"Close"), 0);
  EXPECT_EQ(c().Number(u"lCardStatus"), 0);
}

TEST_F(ControlTest, CloseWithoutReaderStillClearsTheCardDerivedProperties) {
  ASSERT_EQ(c().Call(u"GetReaderCount"), 0);
  ASSERT_EQ(c().Call(u"GetReaderName", {0}), 0);
  ASSERT_EQ(c().Call(u"CalculateSHA1Hash", {u"abc", 0}), 0);
  ASSERT_EQ(c().Call(u"RSAPasswordEncryptWithPublicKey", {u"secret", 0, 0x4F, 1}), 0);
  ASSERT_NE(c().Text(u"sEncryptedPassword"), "<null>");
  ASSERT_EQ(c().Call(u"PerformPCSCDiagnosticTest"), 0);
  const std::string version = c().Text(u"sVersion");

  EXPECT_EQ(c().Call(u"Close"), 2561);
  EXPECT_EQ(c().Number(u"wReaderCount"), 0);
  for (const char16_t* name :
       {u"sReaderName", u"sHashOutput", u"sEncryptedPassword", u"sPAN", u"sPANSEQ",
        u"sCriptogramData", u"sCertificateData", u"sInitializationData"})
    EXPECT_EQ(c().Text(name), "<null>") << Control::Utf8(name);
  // The report and the version are not the card's.
  EXPECT_NE(c().Text(u"sPCSCDiagnosticResult"), "<null>");
  EXPECT_EQ(c().Text(u"sVersion"), version);
}

// Which properties a method clears even when lResult is null ("before the check").
TEST_F(ControlTest, ClearingHappensBeforeOrAfterTheResultCheck) {
  using Method0 = HRESULT (*)(IDispatch*, LONG*);
  using MethodText = HRESULT (*)(IDispatch*, BSTR, LONG*);
  using MethodLong = HRESULT (*)(IDispatch*, LONG, LONG*);
  using MethodTextFlag = HRESULT (*)(IDispatch*, BSTR, LONG, LONG*);
  using MethodEncrypt = HRESULT (*)(IDispatch*, BSTR, LONG, LONG, LONG, LONG*);
  auto fill = [&] {
    ASSERT_EQ(c().Call(u"GetReaderCount"), 0);
    ASSERT_EQ(c().Call(u"GetReaderName", {0}), 0);
    ASSERT_EQ(c().Call(u"CalculateSHA1Hash", {u"abc", 0}), 0);
    ASSERT_EQ(c().Call(u"RSAPasswordEncryptWithPublicKey", {u"pw", 0, 1, 0}), 0);
  };
  BSTR text = SysAllocString(u"abc");
  IDispatch* d = c().Dispatch();

  fill();
  EXPECT_EQ(c().Slot<Method0>(21)(d, nullptr), E_POINTER);  // GetReaderCount
  EXPECT_EQ(c().Number(u"wReaderCount"), 0);
  EXPECT_EQ(c().Slot<MethodLong>(22)(d, 0, nullptr), E_POINTER);  // GetReaderName
  EXPECT_EQ(c().Text(u"sReaderName"), "<null>");
  EXPECT_EQ(c().Slot<MethodTextFlag>(24)(d, text, 0, nullptr), E_POINTER);  // CalculateSHA1Hash
  EXPECT_EQ(c().Text(u"sHashOutput"), "<null>");
  EXPECT_EQ(c().Slot<MethodEncrypt>(41)(d, text, 0, 1, 0, nullptr), E_POINTER);
  EXPECT_EQ(c().Text(u"sEncryptedPassword"), "<null>");

  fill();
  EXPECT_EQ(c().Slot<MethodText>(20)(d, text, nullptr), E_POINTER);  // HashFile
  EXPECT_EQ(c().Text(u"sHashOutput"), "<null>");
  // Close and Open clear after the check: nothing changes.
  ASSERT_EQ(c().Call(u"Open", {u"Reader A"}), 0);
  EXPECT_EQ(c().Slot<Method0>(14)(d, nullptr), E_POINTER);  // Close
  EXPECT_EQ(c().Number(u"wReaderCount"), 2);
  EXPECT_EQ(c().Text(u"sReaderName"), "Reader A");
  EXPECT_EQ(c().Slot<MethodText>(13)(d, text, nullptr), E_POINTER);  // Open
  EXPECT_EQ(c().Number(u"bActive"), 1);
  // SignFile clears nothing: a failure keeps the old cryptogram (none here).
  SysFreeString(text);
}

// ---- hashing, the mended text conversion, files ----

TEST_F(ControlTest, HashesOfTextHexadecimalAndFiles) {
  EXPECT_EQ(c().Call(u"CalculateSHA1Hash", {u"abc", 0}), 0);
  const std::string abc = c().Text(u"sHashOutput");
  EXPECT_EQ(abc, "A9993E364706816ABA3E25717850C26C9CD0D89D");
  EXPECT_EQ(c().Call(u"CalculateSHA1Hash", {u"61 62\r\n63", 7}), 0);  // any flag but 0
  EXPECT_EQ(c().Text(u"sHashOutput"), abc);

  // An accented letter: the whole UTF-8 text is hashed (C3 A9), not its first UTF-16-length
  // bytes (C3 alone).
  EXPECT_EQ(c().Call(u"CalculateSHA1Hash", {u"\u00E9", 0}), 0);
  const std::string accented = c().Text(u"sHashOutput");
  EXPECT_EQ(c().Call(u"CalculateSHA1Hash", {u"C3A9", 1}), 0);
  EXPECT_EQ(c().Text(u"sHashOutput"), accented);

  char path[] = "/tmp/qorx-hashfile-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "abc", 3), 3);
  close(fd);
  const std::u16string wide = Utf8ToUtf16(path, std::strlen(path));
  EXPECT_EQ(c().Call(u"HashFile", {wide.c_str()}), 0);
  EXPECT_EQ(c().Text(u"sHashOutput"), abc);
  unlink(path);

  // A file that is not there: 785 with an empty record, whatever was stored before.
  StoreHexFailure();
  EXPECT_EQ(c().Call(u"HashFile", {wide.c_str()}), 785);
  EXPECT_EQ(c().Text(u"sHashOutput"), "<null>");
  EXPECT_EQ(c().Number(u"wSCardError"), 0);
  EXPECT_EQ(c().Text(u"sSCardError"), "");
  EXPECT_EQ(c().Call(u"HashFile", {u"/tmp"}), 785);  // a folder cannot be opened as a file
  EXPECT_EQ(c().Call(u"SignFile", {wide.c_str()}), 785);
}

TEST_F(ControlTest, ShortHostChallengeIsRefusedBeforeAnyCardAccess) {
  EXPECT_EQ(c().Call(u"SecureChannelInit", {u"01020304050607", 1}), 0x0101);
  EXPECT_EQ(c().Text(u"sInitializationData"), "<null>");
  EXPECT_EQ(Fake().SentCount(), 0);
}

TEST_F(ControlTest, DiagnosticReportEndsWithTheModelAndVersionLines) {
  EXPECT_EQ(c().Call(u"PerformPCSCDiagnosticTest"), 0);
  const std::string report = c().Text(u"sPCSCDiagnosticResult");
  EXPECT_EQ(report.rfind("[PCSCDiagnosticTest]\n", 0), 0u) << report;
  EXPECT_NE(report.find("Leitoras.Quantidade = 2\n"), std::string::npos) << report;
  EXPECT_TRUE(std::regex_search(
      report,
      std::regex("TecnologiaAtiva\\.Modelo = ActiveX\n"
                 "TecnologiaAtiva\\.DLL\\.Versao = [0-9a-f]+\\.[0-9a-f]+\\.[0-9a-f]+\\.[0-9a-f]+\n"
                 "TecnologiaAtiva\\.DLL\\.Assinatura= feef04bd\n$")))
      << report;
  EXPECT_TRUE(std::regex_match(c().Text(u"sVersion"), std::regex(R"(\d+\.\d+\.\d+\.\d+)")));
}

// ---- the module ----

TEST(ControlModule, ClassFactoryAndUnloading) {
  UsePCSCLibrary(QORX_FAKE_PCSC_PATH);
  void* object = nullptr;
  EXPECT_EQ(DllGetClassObject(IID_IDispatch, IID_IClassFactory, &object),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
  IClassFactory* factory = nullptr;
  ASSERT_EQ(DllGetClassObject(CLSID_QorX, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
            S_OK);
  EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory), IID_IDispatch, &object),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &object), E_NOINTERFACE);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);

  IUnknown* unknown = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&unknown)),
            S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  void* dual = nullptr;
  EXPECT_EQ(unknown->QueryInterface(IID_IQorX, &dual), S_OK);
  EXPECT_EQ(dual, static_cast<void*>(unknown));
  EXPECT_EQ(unknown->Release(), 1u);
  EXPECT_EQ(unknown->Release(), 0u);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);

  EXPECT_EQ(factory->LockServer(1), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(0), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  factory->Release();
}

}  // namespace
}  // namespace qorx::com
