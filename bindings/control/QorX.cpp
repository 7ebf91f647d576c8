#include "bindings/control/QorX.h"

#include <cstring>
#include <new>

#include "bindings/Diagnostics.h"
#include "bindings/LastError.h"
#include "bindings/ModuleVersion.h"
#include "crypto/FileDigest.h"
#include "crypto/SHA1Digest.h"

namespace qorx::com {

namespace {

// Status of the two file methods for a file that cannot be opened, or read.
constexpr LONG kFileCannotOpen = aps::kFileCannotOpen;  // 785
constexpr LONG kFileTooLarge = aps::kFileTooLarge;      // 786

// A text argument as a UTF-8 text for the service; a null BSTR stays a null pointer.
class TextArgument {
 public:
  explicit TextArgument(BSTR text)
      : null_(text == nullptr), text_(Utf16ToUtf8(text, SysStringLen(text))) {}
  const char* Get() const noexcept { return null_ ? nullptr : text_.CStr(); }

 private:
  bool null_;
  TSDByteArray text_;  // wipes itself: this may be a secret code
};

bool SameNameNoCase(const OLECHAR* wide, const char* name) noexcept {
  for (;; ++wide, ++name) {
    OLECHAR a = *wide;
    char b = *name;
    if (a >= 'A' && a <= 'Z') a = static_cast<OLECHAR>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != static_cast<unsigned char>(b)) return false;
    if (a == 0) return true;
  }
}

void KeepLastError(EAPSException& record, const EAPSException& value) noexcept {
  try {
    record = value;
  } catch (...) {
    // No memory for the message: the status still tells the code.
  }
}

}  // namespace

std::atomic<long>& ModuleUsage() noexcept {
  static std::atomic<long> usage{0};
  return usage;
}

// ---- stored text properties ----

void CQorX::Property::Clear() noexcept {
  SysFreeString(value_);
  value_ = nullptr;
}

void CQorX::Property::Set(const char* text, size_t length) {
  Clear();
  value_ = BstrFromUtf8(text, length);
  if (value_ == nullptr) QORX_RAISE(sd::kNoMemory, unit::kObjects);
}

HRESULT CQorX::Property::CopyTo(BSTR* out) const noexcept {
  if (value_ == nullptr) {
    *out = nullptr;
    return S_OK;
  }
  *out = SysAllocStringLen(value_, SysStringLen(value_));
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

// ---- construction ----

CQorX::CQorX(TSDBaseServiceFactory* slotFactory)
    : service_(slotFactory != nullptr ? std::make_unique<TQorTerminalAppletService>(slotFactory)
                                      : std::make_unique<TQorTerminalAppletService>()) {
  version_.Set("Unknown", 7);
  char text[100];
  if (GetModuleVersionText(text, sizeof text) == 0) version_.Set(text, std::strlen(text));
  ++ModuleUsage();
}

CQorX::~CQorX() {
  --ModuleUsage();
}

// ---- IUnknown ----

HRESULT CQorX::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IQorX) {
    *ppv = static_cast<IQorX*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG CQorX::AddRef() {
  return ++references_;
}

ULONG CQorX::Release() {
  const ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

// ---- IDispatch ----

HRESULT CQorX::GetTypeInfoCount(uint32_t* pctinfo) {
  if (pctinfo == nullptr) return E_POINTER;
  // Members are found by name; there is no type information object to hand out.
  *pctinfo = 0;
  return S_OK;
}

HRESULT CQorX::GetTypeInfo(uint32_t /*iTInfo*/, LCID /*lcid*/, ITypeInfo** ppTInfo) {
  if (ppTInfo == nullptr) return E_POINTER;
  *ppTInfo = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT CQorX::GetIDsOfNames(REFIID riid, OLECHAR** rgszNames, uint32_t cNames, LCID /*lcid*/,
                             DISPID* rgDispId) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (rgszNames == nullptr || rgDispId == nullptr || cNames == 0) return E_INVALIDARG;
  for (uint32_t i = 0; i < cNames; ++i) rgDispId[i] = DISPID_UNKNOWN;
  const ControlMember* member = nullptr;
  if (rgszNames[0] != nullptr) {
    for (int i = 0; i < kControlMemberCount; ++i) {
      if (SameNameNoCase(rgszNames[0], ControlMembers()[i].name)) {
        member = &ControlMembers()[i];
        break;
      }
    }
  }
  if (member == nullptr) return DISP_E_UNKNOWNNAME;
  rgDispId[0] = member->id;
  // Further names are the member's parameters; their DISPIDs are their positions.
  HRESULT hr = S_OK;
  for (uint32_t i = 1; i < cNames; ++i) {
    for (uint8_t p = 0; p < member->paramCount; ++p) {
      if (rgszNames[i] != nullptr && SameNameNoCase(rgszNames[i], member->paramNames[p]))
        rgDispId[i] = p;
    }
    if (rgDispId[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

HRESULT CQorX::Invoke(DISPID dispIdMember, REFIID riid, LCID /*lcid*/, uint16_t wFlags,
                      DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                      uint32_t* puArgErr) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  const ControlMember* member = FindControlMember(dispIdMember);
  if (member == nullptr) return DISP_E_MEMBERNOTFOUND;
  // Properties are read-only; a method is called, not read.
  const uint16_t wanted =
      member->kind == MemberKind::Property ? DISPATCH_PROPERTYGET : DISPATCH_METHOD;
  if ((wFlags & wanted) == 0) return DISP_E_MEMBERNOTFOUND;
  if (pDispParams == nullptr) return E_INVALIDARG;
  if (pDispParams->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  if (pDispParams->cArgs != member->paramCount) return DISP_E_BADPARAMCOUNT;
  if (pDispParams->cArgs > 0 && pDispParams->rgvarg == nullptr) return E_INVALIDARG;

  VARIANT args[4];
  for (VARIANT& arg : args) VariantInit(&arg);
  auto clearArgs = [&] {
    for (VARIANT& arg : args) VariantClear(&arg);
  };
  for (uint32_t p = 0; p < member->paramCount; ++p) {
    // rgvarg holds the arguments last first.
    const uint32_t position = pDispParams->cArgs - 1 - p;
    const HRESULT hr =
        VariantChangeType(&args[p], &pDispParams->rgvarg[position], 0, member->paramTypes[p]);
    if (Failed(hr)) {
      clearArgs();
      if (puArgErr != nullptr) *puArgErr = position;
      return hr == E_OUTOFMEMORY ? hr : DISP_E_TYPEMISMATCH;
    }
  }
  VARIANT result;
  VariantInit(&result);
  result.vt = member->result;
  const HRESULT hr = CallControlMember(this, dispIdMember, args, result);
  clearArgs();
  if (Failed(hr)) {
    VariantClear(&result);
    if (pExcepInfo == nullptr) return hr;
    std::memset(static_cast<void*>(pExcepInfo), 0, sizeof *pExcepInfo);
    pExcepInfo->scode = hr;
    return DISP_E_EXCEPTION;
  }
  if (pVarResult != nullptr) {
    VariantClear(pVarResult);
    *pVarResult = result;
  } else {
    VariantClear(&result);
  }
  return S_OK;
}

// ---- the method frame and conversions ----

template <typename Body>
HRESULT CQorX::RunMethod(LONG* lResult, Body&& body, bool fileCodes) noexcept {
  if (lResult == nullptr) return E_POINTER;
  try {
    body();
    *lResult = aps::kSuccess;
  } catch (const EAPSException& e) {
    if (e.Code() == aps::kFrameworkError) KeepLastError(lastError_, e);
    *lResult = e.Code();
  } catch (const ESDException& e) {
    if (fileCodes && e.Code() == sd::kFileOpen) {
      KeepLastError(lastError_, EAPSException(kFileCannotOpen));
      *lResult = kFileCannotOpen;
    } else if (fileCodes && (e.Code() == sd::kFileTooLarge || e.Code() == sd::kFileRead)) {
      KeepLastError(lastError_, EAPSException(kFileTooLarge));
      *lResult = kFileTooLarge;
    } else {
      try {
        KeepLastError(lastError_, EAPSException(e));
      } catch (...) {
      }
      *lResult = aps::kFrameworkError;
    }
  } catch (...) {
    *lResult = aps::kUnexpected;
  }
  return S_OK;
}

void CQorX::InputToBytes(BSTR text, LONG hexadecimal, TSDByteArray& destination) {
  const uint32_t units = SysStringLen(text);
  if (units == 0) throw EAPSException(aps::kInvalidArgument);
  const TSDByteArray utf8 = Utf16ToUtf8(text, units);
  try {
    if (hexadecimal != 0) {
      destination.FromHex(utf8.CStr());
    } else {
      // The whole converted text: its UTF-8 form may be longer than its UTF-16 length, and
      // cutting it there would split a character.
      destination = TSDByteArray::PrefixCopy(utf8, false);
    }
  } catch (const ESDException& e) {
    lastError_.SetDetail(e.Code());
    lastError_.SetMessage(e.Message());
    throw EAPSException(hexadecimal != 0 ? aps::kInvalidArgument : aps::kFrameworkError);
  }
}

void CQorX::StoreHexProperty(const TSDByteArray& bytes, Property& property) {
  property.Clear();
  property.Set(bytes.ToHex());
}

// ---- properties ----

HRESULT CQorX::get_lCardStatus(LONG* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = 0;
  try {
    *pVal = service_->GetCardStatus();
  } catch (...) {
    // No reader open, or PC/SC failing: the page sees 0.
  }
  return S_OK;
}

HRESULT CQorX::get_sCardATR(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  // An [out] value holds nothing of ours on entry (a caller may pass it uninitialised), so it
  // is overwritten, never freed.
  *pVal = nullptr;
  try {
    CardInfo info;
    service_->GetCardInfo(info);
    const int length = info.length <= CardInfo::kMaxAtr ? info.length : CardInfo::kMaxAtr;
    const TSDByteArray atr = TSDByteArray(info.atr, length).ToHex();
    *pVal = BstrFromUtf8(atr.CStr(), static_cast<size_t>(atr.TextLength()));
  } catch (...) {
  }
  if (*pVal == nullptr) *pVal = SysAllocStringLen(nullptr, 0);
  return S_OK;
}

HRESULT CQorX::get_wSCardError(LONG* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = lastError_.Detail();
  return S_OK;
}

HRESULT CQorX::get_sSCardError(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = nullptr;  // overwritten, never freed: see sCardATR
  int32_t length = 0;
  if (CopyLastErrorMessage(lastError_, nullptr, &length) != aps::kSuccess) return S_OK;
  try {
    TSDByteArray buffer(length + 1);
    int32_t room = length + 1;
    if (CopyLastErrorMessage(lastError_, reinterpret_cast<char*>(buffer.WritableData()), &room) ==
        aps::kSuccess)
      *pVal = BstrFromUtf8(buffer.CStr(), static_cast<size_t>(room));
  } catch (...) {
  }
  return S_OK;
}

HRESULT CQorX::get_sActiveReader(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = nullptr;
  try {
    const TSDByteArray name = service_->GetActiveReader();
    *pVal = BstrFromUtf8(name.CStr(), static_cast<size_t>(name.TextLength()));
  } catch (const EAPSException& e) {
    if (e.Code() == aps::kFrameworkError) KeepLastError(lastError_, e);
  } catch (const ESDException& e) {
    try {
      KeepLastError(lastError_, EAPSException(e));
    } catch (...) {
    }
  } catch (...) {
    KeepLastError(lastError_, EAPSException(aps::kUnexpected));
  }
  if (*pVal == nullptr) *pVal = SysAllocStringLen(nullptr, 0);
  return S_OK;
}

#define QORX_NUMBER_PROPERTY(name, member) \
  HRESULT CQorX::get_##name(LONG* pVal) {  \
    if (pVal == nullptr) return E_POINTER; \
    *pVal = static_cast<LONG>(member);     \
    return S_OK;                           \
  }
#define QORX_TEXT_PROPERTY(name, member)   \
  HRESULT CQorX::get_##name(BSTR* pVal) {  \
    if (pVal == nullptr) return E_POINTER; \
    return member.CopyTo(pVal);            \
  }

QORX_NUMBER_PROPERTY(bActive, active_)
QORX_NUMBER_PROPERTY(wSecureChannelResult, secureChannelResult_)
QORX_NUMBER_PROPERTY(wRetries, retries_)
QORX_NUMBER_PROPERTY(wReaderCount, readerCount_)
QORX_NUMBER_PROPERTY(wAppStatus, appStatus_)
QORX_NUMBER_PROPERTY(wVersionRelease, service_->GetVersionRelease())
QORX_TEXT_PROPERTY(sPAN, pan_)
QORX_TEXT_PROPERTY(sPANSEQ, panSequence_)
QORX_TEXT_PROPERTY(sCriptogramData, cryptogram_)
QORX_TEXT_PROPERTY(sReaderName, readerName_)
QORX_TEXT_PROPERTY(sCertificateData, certificate_)
QORX_TEXT_PROPERTY(sHashOutput, hashOutput_)
QORX_TEXT_PROPERTY(sInitializationData, initializationData_)
QORX_TEXT_PROPERTY(sEncryptedPassword, encryptedPassword_)
QORX_TEXT_PROPERTY(sPCSCDiagnosticResult, diagnosticResult_)
QORX_TEXT_PROPERTY(sVersion, version_)

#undef QORX_NUMBER_PROPERTY
#undef QORX_TEXT_PROPERTY

// ---- methods ----

HRESULT CQorX::Open(BSTR sReaderName, LONG* lResult) {
  if (lResult == nullptr) return E_POINTER;
  active_ = 0;
  return RunMethod(lResult, [&] {
    // A null name opens the default reader.
    const TextArgument name(sReaderName);
    service_->Open(name.Get());
    active_ = 1;
  });
}

HRESULT CQorX::Close(LONG* lResult) {
  if (lResult == nullptr) return E_POINTER;
  // Everything learnt from the card goes, even when closing fails.
  active_ = 0;
  retries_ = 0;
  appStatus_ = 0;
  pan_.Clear();
  panSequence_.Clear();
  cryptogram_.Clear();
  secureChannelResult_ = 0;
  readerCount_ = 0;
  readerName_.Clear();
  certificate_.Clear();
  hashOutput_.Clear();
  initializationData_.Clear();
  encryptedPassword_.Clear();
  return RunMethod(lResult, [&] { service_->Close(); });
}

HRESULT CQorX::CardDetect(LONG* lResult) {
  return RunMethod(lResult, [&] { service_->GetCardStatus(); });
}

HRESULT CQorX::CardAuthenticate(BSTR sSystemDate, LONG* lResult) {
  pan_.Clear();
  panSequence_.Clear();
  return RunMethod(lResult, [&] {
    const TextArgument date(sSystemDate);
    const TSDByteArray serial = service_->CardAuthenticate(date.Get());
    // PAN and sequence need 9 bytes; a shorter answer is an invalid certificate.
    if (serial.Length() < 9) throw EAPSException(aps::kCertificateInvalid);
    StoreHexProperty(serial.Mid(0, 8), pan_);
    StoreHexProperty(serial.Mid(8, 1), panSequence_);
  });
}

HRESULT CQorX::CardVerifySecretCode(BSTR sSecretCode, LONG* lResult) {
  retries_ = 0;
  const HRESULT hr = RunMethod(lResult, [&] {
    const TextArgument code(sSecretCode);
    service_->CardVerifySecretCode(code.Get());
  });
  if (hr != S_OK) return hr;
  // After a verification the card answered, the page sees the tries left.
  if (*lResult == aps::kSuccess || *lResult == aps::kSecretCodeRejected ||
      *lResult == aps::kSecretCodeBlocked) {
    LONG refresh = 0;
    GetApplicationState(&refresh);
    if (refresh != aps::kSuccess) *lResult = refresh;
  }
  return S_OK;
}

HRESULT CQorX::CardLogout(LONG* lResult) {
  return RunMethod(lResult, [&] { service_->CardLogout(); });
}

HRESULT CQorX::SignTransaction(BSTR sTransactionData, LONG boolHexadecimalInputString,
                               LONG* lResult) {
  cryptogram_.Clear();
  return RunMethod(lResult, [&] {
    TSDByteArray data;
    InputToBytes(sTransactionData, boolHexadecimalInputString, data);
    StoreHexProperty(service_->SignTransaction(data), cryptogram_);
  });
}

HRESULT CQorX::HashFile(BSTR sLocalFileName, LONG* lResult) {
  hashOutput_.Clear();
  return RunMethod(
      lResult,
      [&] {
        const TextArgument name(sLocalFileName);
        StoreHexProperty(Sha1OfFile(name.Get()), hashOutput_);
      },
      true);
}

HRESULT CQorX::GetReaderCount(LONG* lResult) {
  readerCount_ = 0;
  return RunMethod(lResult, [&] { readerCount_ = service_->GetReaderCount(); });
}

HRESULT CQorX::GetReaderName(LONG wReaderIndex, LONG* lResult) {
  readerName_.Clear();
  return RunMethod(lResult, [&] { readerName_.Set(service_->GetReaderName(wReaderIndex)); });
}

HRESULT CQorX::GetCertificate(LONG* lResult) {
  certificate_.Clear();
  return RunMethod(lResult, [&] { StoreHexProperty(service_->GetCertificate(), certificate_); });
}

HRESULT CQorX::CalculateSHA1Hash(BSTR sInputBuffer, LONG boolHexadecimalInputString,
                                 LONG* lResult) {
  hashOutput_.Clear();
  return RunMethod(lResult, [&] {
    TSDByteArray data;
    InputToBytes(sInputBuffer, boolHexadecimalInputString, data);
    TSDSHA1Digest digest;
    digest.Update(data);
    uint8_t value[TSDSHA1Digest::kDigestLength];
    digest.Final(value);
    StoreHexProperty(TSDByteArray(value, sizeof value), hashOutput_);
  });
}

HRESULT CQorX::SecureChannelInit(BSTR sHostChallenge, LONG boolHexadecimalInputString,
                                 LONG* lResult) {
  initializationData_.Clear();
  return RunMethod(lResult, [&] {
    TSDByteArray challenge;
    InputToBytes(sHostChallenge, boolHexadecimalInputString, challenge);
    // The first 8 bytes are the host challenge; a shorter one is handed on whole, for the
    // service to refuse before it touches the card.
    if (challenge.Length() > 8) challenge = challenge.Mid(0, 8);
    constexpr uint8_t kKeyVersion = 3;
    StoreHexProperty(service_->SecureChannelInit(&challenge, kKeyVersion), initializationData_);
  });
}

HRESULT CQorX::SecureChannelExecScript(BSTR sScriptBuffer, LONG* lResult) {
  secureChannelResult_ = 0;
  return RunMethod(lResult, [&] {
    TSDByteArray script;
    InputToBytes(sScriptBuffer, 1, script);  // a host script is always hexadecimal
    secureChannelResult_ = service_->SecureChannelExecScript(script);
  });
}

HRESULT CQorX::GetApplicationState(LONG* lResult) {
  retries_ = 0;
  appStatus_ = 0;
  return RunMethod(lResult, [&] {
    retries_ = service_->GetPinTryCounter();
    appStatus_ = service_->GetApplicationStatus();
  });
}

HRESULT CQorX::ChangeSecretCode(BSTR sActualSecretCode, BSTR sNewSecretCode, LONG* lResult) {
  return RunMethod(lResult, [&] {
    const TextArgument current(sActualSecretCode);
    const TextArgument next(sNewSecretCode);
    service_->ChangeSecretCode(current.Get(), next.Get());
  });
}

HRESULT CQorX::RSAPasswordEncryptWithPublicKey(BSTR sInputData, LONG boolHexadecimalInputString,
                                               LONG wType, LONG bKeyVersion, LONG* lResult) {
  encryptedPassword_.Clear();
  return RunMethod(lResult, [&] {
    TSDByteArray password;
    InputToBytes(sInputData, boolHexadecimalInputString, password);
    const bool keyVersionFlag = (bKeyVersion & 0xFF) != 0;
    StoreHexProperty(
        service_->EncryptPassword(password, static_cast<uint16_t>(wType), keyVersionFlag),
        encryptedPassword_);
  });
}

HRESULT CQorX::PerformPCSCDiagnosticTest(LONG* lResult) {
  try {
    auto report = std::make_unique<DiagnosticReport>();
    BuildDiagnosticReport(*service_, report.get());
    report->Append("TecnologiaAtiva.Modelo = ActiveX\n");
    // The version lines describe this library's own file, which on Windows was the fixed
    // module name; here the module is found where it was loaded from.
    char module[1024];
    AppendVersionReport(GetOwnModulePath(module, sizeof module) ? module : "libqorx.so",
                        report.get());
    diagnosticResult_.Clear();
    if (lResult == nullptr) return E_POINTER;
    diagnosticResult_.Set(report->Text(), report->Length());
    *lResult = aps::kSuccess;
  } catch (...) {
    // The old report stays.
    if (lResult == nullptr) return E_POINTER;
    *lResult = aps::kUnexpected;
  }
  return S_OK;
}

HRESULT CQorX::SignFile(BSTR sLocalFileName, LONG* lResult) {
  return RunMethod(
      lResult,
      [&] {
        const TextArgument name(sLocalFileName);
        uint8_t digest[TSDSHA1Digest::kDigestLength];
        Sha1OfFile(name.Get(), digest);
        StoreHexProperty(service_->SignDigest(digest), cryptogram_);
      },
      true);
}

}  // namespace qorx::com
