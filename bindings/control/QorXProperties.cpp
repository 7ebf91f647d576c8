// The control's read-only properties: what the last method left, or a live look at the card.
#include "bindings/LastError.h"
#include "bindings/Operations.h"
#include "bindings/control/QorX.h"

namespace qorx::com {

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

void CQorX::KeepLastError(const EAPSException& value) noexcept {
  try {
    lastError_ = value;
  } catch (...) {
    // No memory for the message: the status still tells the code.
  }
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
    const TSDByteArray atr = ops::AtrText(*service_);
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
    if (e.Code() == aps::kFrameworkError) KeepLastError(e);
  } catch (const ESDException& e) {
    try {
      KeepLastError(EAPSException(e));
    } catch (...) {
    }
  } catch (...) {
    KeepLastError(EAPSException(aps::kUnexpected));
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

}  // namespace qorx::com
