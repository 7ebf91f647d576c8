// A whole session of the bridge: the page's messages, one per input line, handed to one
// Session in turn, with a fake control behind it whose answers the input scripts. Every
// answer is a JSON object within the browser's limit that starts with the id, carries one
// result, and names a plain error code; the control is never handed a text with a NUL, nor,
// where the policy keeps codes to the host's dialog, a code from the page; HashFile and
// SignFile never run with a name from the page, and a file's bytes reach the control only in
// order, within the size announced; nothing leaks.
//
// Input lines:
//   %host          (first line only) the session runs with pin-entry = host
//   !BYTES         the fake control's next answers, one or a few bytes each (see Fake::Answer)
//   anything else  a message from the page
// The PIN dialog is a program that does not exist, so a call that would ask fails at once.
#include <strings.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "bindings/control/Com.h"
#include "bindings/control/Module.h"
#include "bindings/control/QorXFileStream.h"
#include "bindings/control/QorXInterface.h"
#include "fuzz/FuzzCheck.h"
#include "tools/bridge/Framing.h"
#include "tools/bridge/Json.h"
#include "tools/bridge/Session.h"

using namespace qorx;
using namespace qorx::com;
using namespace qorx::bridge;

namespace {

bool g_hostPolicy = false;
std::string g_tape;  // the fake's answers still to give
size_t g_tapeAt = 0;

uint8_t Take() {
  return g_tapeAt < g_tape.size() ? static_cast<uint8_t>(g_tape[g_tapeAt++]) : 0;
}

// The control as a script sees it (names, kinds, parameter counts and types from its member
// table), answering from the tape instead of a card.
class Fake final : public IDispatch, public IQorXFileStream {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    if (riid == IID_IQorXFileStream) {
      *ppv = static_cast<IQorXFileStream*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT GetTypeInfoCount(uint32_t* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(uint32_t, LCID, ITypeInfo** info) override {
    *info = nullptr;
    return DISP_E_BADINDEX;
  }
  HRESULT GetIDsOfNames(REFIID riid, OLECHAR** names, uint32_t count, LCID, DISPID* ids) override {
    FUZZ_CHECK(riid == IID_NULL && count == 1 && names[0] != nullptr);
    // Names match whatever their case, as in the control.
    const TSDByteArray name = Utf16ToUtf8(names[0], std::char_traits<char16_t>::length(names[0]));
    for (int i = 0; i < kControlMemberCount; ++i) {
      if (strcasecmp(name.CStr(), ControlMembers()[i].name) == 0) {
        ids[0] = ControlMembers()[i].id;
        return S_OK;
      }
    }
    ids[0] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT Invoke(DISPID id, REFIID, LCID, uint16_t flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* exception, uint32_t*) override {
    const ControlMember* member = FindControlMember(id);
    FUZZ_CHECK(member != nullptr && params != nullptr && params->cNamedArgs == 0);
    FUZZ_CHECK(!((id == 14 || id == 40) && (flags & DISPATCH_METHOD) != 0));  // HashFile, SignFile
    const uint16_t wanted =
        member->kind == MemberKind::Property ? DISPATCH_PROPERTYGET : DISPATCH_METHOD;
    if ((flags & wanted) == 0) return DISP_E_MEMBERNOTFOUND;
    if (params->cArgs != member->paramCount) return DISP_E_BADPARAMCOUNT;
    const bool secret = id == 11 || id == 35;  // CardVerifySecretCode, ChangeSecretCode
    for (uint32_t p = 0; p < params->cArgs; ++p) {
      const VARIANT& given = params->rgvarg[params->cArgs - 1 - p];
      if (given.vt == VT_BSTR) {
        // The control reads a text up to its first NUL: a cut code or path must never reach it.
        const uint32_t length = SysStringLen(given.bstrVal);
        for (uint32_t i = 0; i < length; ++i) FUZZ_CHECK(given.bstrVal[i] != 0);
        FUZZ_CHECK(!(secret && g_hostPolicy && length > 0));
      }
      VARIANT coerced;
      VariantInit(&coerced);
      const HRESULT hr = VariantChangeType(&coerced, &given, 0, member->paramTypes[p]);
      VariantClear(&coerced);
      if (Failed(hr)) return hr == E_OUTOFMEMORY ? hr : DISP_E_TYPEMISMATCH;
    }
    return Answer(*member, result, exception);
  }

  // A file's bytes: the next byte of the tape may refuse a step.
  HRESULT BeginFile(uint64_t size) override {
    file_ = true;
    size_ = size;
    received_ = 0;
    return Take() == 0xEE ? E_OUTOFMEMORY : S_OK;
  }
  HRESULT FileData(const uint8_t* bytes, uint32_t length) override {
    FUZZ_CHECK(file_ && length <= kMaxChunkSize && length <= size_ - received_);
    FUZZ_CHECK(length == 0 || bytes != nullptr);
    received_ += length;
    return Take() == 0xEE ? E_INVALIDARG : S_OK;
  }
  HRESULT EndFile(LONG sign, LONG* lResult) override {
    FUZZ_CHECK(file_ && lResult != nullptr && (sign == 0 || sign == 1));
    file_ = false;
    const uint8_t how = Take();
    *lResult = how;
    return how == 0xEE ? E_UNEXPECTED : S_OK;
  }
  HRESULT AbandonFile() override {
    file_ = false;
    return S_OK;
  }

 private:
  // One answer from the tape: its first byte chooses how the member answers.
  HRESULT Answer(const ControlMember& member, VARIANT* result, EXCEPINFO* exception) {
    const uint8_t how = Take();
    switch (how % 8) {
      case 1:
        return E_FAIL;
      case 2:  // failed with the details in EXCEPINFO, as the control's own failures come
        if (exception != nullptr) {
          exception->scode = how & 0x80 ? E_ACCESSDENIED : S_OK;
          exception->bstrDescription = SysAllocString(u"the card went away");
          exception->bstrSource = SysAllocString(u"QorX");
        }
        return DISP_E_EXCEPTION;
      case 3: {  // a number of the next four bytes, whatever the member's type
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value = value << 8 | Take();
        result->vt = VT_I4;
        result->lVal = static_cast<LONG>(value);
        return S_OK;
      }
      case 4: {  // a text of UTF-16 units from the tape, lone surrogates and NULs included
        const size_t units = Take() % 32;
        std::u16string text;
        for (size_t i = 0; i < units; ++i)
          text.push_back(static_cast<char16_t>(Take() << 8 | Take()));
        result->vt = VT_BSTR;
        result->bstrVal = SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size()));
        return S_OK;
      }
      case 5: {  // a longer text; 255 makes it too long for the browser's limit
        result->vt = VT_BSTR;
        const uint8_t length = Take();
        std::u16string text(length == 255 ? 600000 : length * 64u, u'\u00e9');
        result->bstrVal = SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size()));
        return S_OK;
      }
      case 6:  // a type the member does not declare
        result->vt = VT_R8;
        result->dblVal = 1.5;
        return S_OK;
      default:  // the declared type: a small number or a short text
        result->vt = member.result;
        if (member.result == VT_BSTR)
          result->bstrVal = SysAllocString(u"Virtual PCD 00 00");
        else
          result->lVal = static_cast<LONG>(how >> 3);  // 0 (success) unless scripted
        return S_OK;
    }
  }

  ULONG references_ = 1;
  bool file_ = false;
  uint64_t size_ = 0;
  uint64_t received_ = 0;
};

class FakeFactory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    FUZZ_CHECK(outer == nullptr);
    Fake* fake = new Fake;
    const HRESULT hr = fake->QueryInterface(riid, ppv);
    fake->Release();
    return hr;
  }
  HRESULT LockServer(int32_t) override { return S_OK; }
};

// Where an answer's JSON must come from: the id first, then one result.
void CheckAnswer(const std::string& answer) {
  FUZZ_CHECK(answer.size() <= kMaxAnswerSize);
  JsonLimits limits;
  limits.maxString = kMaxAnswerSize;
  JsonValue value;
  std::string why;
  FUZZ_CHECK(ParseJson(reinterpret_cast<const uint8_t*>(answer.data()), answer.size(), limits,
                       &value, &why));
  FUZZ_CHECK(value.type == JsonValue::Type::Object && !value.members.empty());
  FUZZ_CHECK(value.members[0].first == "id");
  const JsonValue::Type idType = value.members[0].second.type;
  FUZZ_CHECK(idType == JsonValue::Type::Null || idType == JsonValue::Type::Number ||
             idType == JsonValue::Type::String);
  int results = 0;
  for (const char* name : {"value", "error", "members", "origins"})
    results += value.Find(name) != nullptr;
  FUZZ_CHECK(results == 1);
  if (const JsonValue* error = value.Find("error")) {
    const JsonValue* code = error->Find("code");
    FUZZ_CHECK(code != nullptr && code->type == JsonValue::Type::String && !code->text.empty());
    for (char c : code->text) FUZZ_CHECK(c >= 'a' && c <= 'z');
    const JsonValue* message = error->Find("message");
    FUZZ_CHECK(message != nullptr && message->type == JsonValue::Type::String);
  }
}

}  // namespace

namespace qorx::com {

// The session's control is the fake.
HRESULT GetControlClassObject(REFCLSID rclsid, REFIID riid, void** ppv) noexcept {
  static FakeFactory factory;
  if (rclsid != CLSID_QorX || riid != IID_IClassFactory) return CLASS_E_CLASSNOTAVAILABLE;
  *ppv = static_cast<IClassFactory*>(&factory);
  return S_OK;
}

}  // namespace qorx::com

// A page that asks for the card events gets no reader watcher here: no PC/SC library loads, so
// the session runs without a thread or a pcscd behind it, as on a machine without PC/SC.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("QORX_PCSC_LIBRARY", "/nonexistent/qorx-fuzz-libpcsclite.so.1", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  size_t at = 0;
  auto nextLine = [&](std::string* line) {
    if (at >= input.size()) return false;
    size_t end = input.find('\n', at);
    if (end == std::string::npos) end = input.size();
    line->assign(input, at, end - at);
    at = end + 1;
    return true;
  };

  CheckAnswer(Session::Oversized(static_cast<uint32_t>(size) << 12));
  std::string line;
  g_hostPolicy = input.compare(0, 6, "%host\n") == 0;
  if (g_hostPolicy) nextLine(&line);
  g_tape.clear();
  g_tapeAt = 0;

  OriginList origins;
  origins.Add("https://bank.example");
  origins.Add("http://localhost:8080");
  BridgeConfig config;
  config.pinEntry = g_hostPolicy ? PinEntryPolicy::Host : PinEntryPolicy::PageOrHost;
  config.pinentryProgram = "/nonexistent/qorx-fuzz-pinentry";
  {
    Session session(origins, config);
    while (nextLine(&line)) {
      if (!line.empty() && line[0] == '!') {
        g_tape = line.substr(1);
        g_tapeAt = 0;
        continue;
      }
      CheckAnswer(session.Handle(reinterpret_cast<const uint8_t*>(line.data()), line.size()));
    }
  }  // the session's end closes the reader through the fake, which answers from the tape
  return 0;
}
