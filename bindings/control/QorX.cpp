#include "bindings/control/QorX.h"

#include <new>

#include "bindings/ModuleVersion.h"
#include "bindings/Operations.h"

namespace qorx::com {

namespace {

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

}  // namespace

std::atomic<long>& ModuleUsage() noexcept {
  static std::atomic<long> usage{0};
  return usage;
}

// ---- construction ----

CQorX::CQorX(TSDBaseServiceFactory* slotFactory)
    : service_(slotFactory != nullptr ? std::make_unique<TQorTerminalAppletService>(slotFactory)
                                      : std::make_unique<TQorTerminalAppletService>()) {
  const TSDByteArray version = ops::VersionText();
  if (version.IsEmpty())
    version_.Set("Unknown", 7);
  else
    version_.Set(version);
  ++ModuleUsage();
}

CQorX::~CQorX() {
  --ModuleUsage();
}

// ---- the method frame and conversions ----

template <typename Body>
HRESULT CQorX::RunMethod(LONG* lResult, Body&& body, bool fileCodes) noexcept {
  if (lResult == nullptr) return E_POINTER;
  try {
    body();
    *lResult = aps::kSuccess;
  } catch (const EAPSException& e) {
    const bool fileFailure =
        fileCodes && (e.Code() == aps::kFileCannotOpen || e.Code() == aps::kFileTooLarge);
    if (e.Code() == aps::kFrameworkError || fileFailure) KeepLastError(e);
    *lResult = e.Code();
  } catch (const ESDException& e) {
    try {
      KeepLastError(EAPSException(e));
    } catch (...) {
    }
    *lResult = aps::kFrameworkError;
  } catch (...) {
    *lResult = aps::kUnexpected;
  }
  return S_OK;
}

TSDByteArray CQorX::InputToBytes(BSTR text, LONG hexadecimal) {
  const uint32_t units = SysStringLen(text);
  if (units == 0) throw EAPSException(aps::kInvalidArgument);
  const TSDByteArray utf8 = Utf16ToUtf8(text, units);
  TSDByteArray destination;
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
  return destination;
}

void CQorX::StoreHexProperty(const TSDByteArray& bytes, Property& property) {
  property.Clear();
  property.Set(bytes.ToHex());
}

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
    const ops::CardIdentity card = ops::Authenticate(*service_, date.Get());
    pan_.Set(card.pan);
    panSequence_.Set(card.panSequence);
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
    const TSDByteArray data = InputToBytes(sTransactionData, boolHexadecimalInputString);
    StoreHexProperty(service_->SignTransaction(data), cryptogram_);
  });
}

HRESULT CQorX::HashFile(BSTR sLocalFileName, LONG* lResult) {
  return FileMethod(false, lResult, [&](uint8_t(&digest)[TSDSHA1Digest::kDigestLength]) {
    const TextArgument name(sLocalFileName);
    ops::HashFile(name.Get(), digest);
  });
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
    hashOutput_.Set(ops::Sha1Text(InputToBytes(sInputBuffer, boolHexadecimalInputString)));
  });
}

HRESULT CQorX::SecureChannelInit(BSTR sHostChallenge, LONG boolHexadecimalInputString,
                                 LONG* lResult) {
  initializationData_.Clear();
  return RunMethod(lResult, [&] {
    TSDByteArray challenge = InputToBytes(sHostChallenge, boolHexadecimalInputString);
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
    // A host script is always hexadecimal.
    secureChannelResult_ = service_->SecureChannelExecScript(InputToBytes(sScriptBuffer, 1));
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
    const TSDByteArray password = InputToBytes(sInputData, boolHexadecimalInputString);
    const bool keyVersionFlag = (bKeyVersion & 0xFF) != 0;
    StoreHexProperty(
        service_->EncryptPassword(password, static_cast<uint16_t>(wType), keyVersionFlag),
        encryptedPassword_);
  });
}

HRESULT CQorX::PerformPCSCDiagnosticTest(LONG* lResult) {
  try {
    const std::unique_ptr<DiagnosticReport> report = ops::Report(*service_, "ActiveX");
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
  return FileMethod(true, lResult, [&](uint8_t(&digest)[TSDSHA1Digest::kDigestLength]) {
    const TextArgument name(sLocalFileName);
    ops::HashFile(name.Get(), digest);
  });
}

template <typename DigestOf>
HRESULT CQorX::FileMethod(bool sign, LONG* lResult, DigestOf&& digestOf) noexcept {
  // A hash's result goes before the file is read; a signature's stays until a new one is made.
  if (!sign) hashOutput_.Clear();
  return RunMethod(
      lResult,
      [&] {
        uint8_t digest[TSDSHA1Digest::kDigestLength];
        digestOf(digest);
        if (sign)
          StoreHexProperty(service_->SignDigest(digest), cryptogram_);
        else
          hashOutput_.Set(ops::DigestText(digest));
      },
      true);
}

// ---- a file handed in pieces ----

HRESULT CQorX::BeginFile(uint64_t size) {
  streamed_.reset();
  try {
    streamed_ = std::make_unique<ops::StreamedFileDigest>(size);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CQorX::FileData(const uint8_t* bytes, uint32_t length) {
  if (!streamed_) return E_UNEXPECTED;
  if (length == 0) return S_OK;
  if (bytes == nullptr || !streamed_->Update(bytes, length)) return E_INVALIDARG;
  return S_OK;
}

HRESULT CQorX::EndFile(LONG sign, LONG* lResult) {
  if (!streamed_) return E_UNEXPECTED;
  if (lResult == nullptr) return E_POINTER;
  // The file ends here whatever its result.
  const std::unique_ptr<ops::StreamedFileDigest> file = std::move(streamed_);
  return FileMethod(sign != 0, lResult,
                    [&](uint8_t(&digest)[TSDSHA1Digest::kDigestLength]) { file->Final(digest); });
}

HRESULT CQorX::AbandonFile() {
  streamed_.reset();
  return S_OK;
}

}  // namespace qorx::com
