#pragma once

// The control's dual interface IQorX: its 40 members follow IDispatch's seven slots in the
// order of the type library (QorX.idl), and ControlMembers() describes them for IDispatch.

#include <cstdint>

#include "bindings/control/Com.h"

namespace qorx::com {

extern const CLSID CLSID_QorX;
extern const GUID LIBID_VTKPLG01_QorXCOMLib;
extern const IID IID_IQorX;

enum class MemberKind : uint8_t { Property, Method };

// One member as the type library declares it; a method's [out, retval] long* lResult and a
// property's [out, retval] pVal are not among `params`.
struct ControlMember {
  DISPID id;
  const char* name;
  MemberKind kind;
  VARTYPE result;  // VT_I4 or VT_BSTR
  uint8_t paramCount;
  const char* paramNames[4];
  VARTYPE paramTypes[4];
};

constexpr int kControlMemberCount = 40;
// The members in slot order (slot 7 first).
const ControlMember* ControlMembers() noexcept;
// The member of `id`, or null.
const ControlMember* FindControlMember(DISPID id) noexcept;

class IQorX : public IDispatch {
 public:
  virtual HRESULT get_lCardStatus(LONG* pVal) = 0;
  virtual HRESULT get_sCardATR(BSTR* pVal) = 0;
  virtual HRESULT get_wSCardError(LONG* pVal) = 0;
  virtual HRESULT get_sSCardError(BSTR* pVal) = 0;
  virtual HRESULT get_sActiveReader(BSTR* pVal) = 0;
  virtual HRESULT get_bActive(LONG* pVal) = 0;
  virtual HRESULT Open(BSTR sReaderName, LONG* lResult) = 0;
  virtual HRESULT Close(LONG* lResult) = 0;
  virtual HRESULT CardDetect(LONG* lResult) = 0;
  virtual HRESULT CardAuthenticate(BSTR sSystemDate, LONG* lResult) = 0;
  virtual HRESULT CardVerifySecretCode(BSTR sSecretCode, LONG* lResult) = 0;
  virtual HRESULT CardLogout(LONG* lResult) = 0;
  virtual HRESULT SignTransaction(BSTR sTransactionData, LONG boolHexadecimalInputString,
                                  LONG* lResult) = 0;
  virtual HRESULT HashFile(BSTR sLocalFileName, LONG* lResult) = 0;
  virtual HRESULT GetReaderCount(LONG* lResult) = 0;
  virtual HRESULT GetReaderName(LONG wReaderIndex, LONG* lResult) = 0;
  virtual HRESULT GetCertificate(LONG* lResult) = 0;
  virtual HRESULT CalculateSHA1Hash(BSTR sInputBuffer, LONG boolHexadecimalInputString,
                                    LONG* lResult) = 0;
  virtual HRESULT SecureChannelInit(BSTR sHostChallenge, LONG boolHexadecimalInputString,
                                    LONG* lResult) = 0;
  virtual HRESULT SecureChannelExecScript(BSTR sScriptBuffer, LONG* lResult) = 0;
  virtual HRESULT get_sPAN(BSTR* pVal) = 0;
  virtual HRESULT get_sPANSEQ(BSTR* pVal) = 0;
  virtual HRESULT get_sCriptogramData(BSTR* pVal) = 0;
  virtual HRESULT get_wSecureChannelResult(LONG* pVal) = 0;
  virtual HRESULT get_wRetries(LONG* pVal) = 0;
  virtual HRESULT get_wReaderCount(LONG* pVal) = 0;
  virtual HRESULT get_sReaderName(BSTR* pVal) = 0;
  virtual HRESULT get_sCertificateData(BSTR* pVal) = 0;
  virtual HRESULT get_sHashOutput(BSTR* pVal) = 0;
  virtual HRESULT get_sInitializationData(BSTR* pVal) = 0;
  virtual HRESULT get_wVersionRelease(LONG* pVal) = 0;
  virtual HRESULT get_wAppStatus(LONG* pVal) = 0;
  virtual HRESULT GetApplicationState(LONG* lResult) = 0;
  virtual HRESULT ChangeSecretCode(BSTR sActualSecretCode, BSTR sNewSecretCode, LONG* lResult) = 0;
  virtual HRESULT RSAPasswordEncryptWithPublicKey(BSTR sInputData, LONG boolHexadecimalInputString,
                                                  LONG wType, LONG bKeyVersion, LONG* lResult) = 0;
  virtual HRESULT get_sEncryptedPassword(BSTR* pVal) = 0;
  virtual HRESULT PerformPCSCDiagnosticTest(LONG* lResult) = 0;
  virtual HRESULT get_sPCSCDiagnosticResult(BSTR* pVal) = 0;
  virtual HRESULT SignFile(BSTR sLocalFileName, LONG* lResult) = 0;
  virtual HRESULT get_sVersion(BSTR* pVal) = 0;

 protected:
  ~IQorX() = default;
};

// Calls member `id` of `self` with arguments already coerced to the member's parameter types
// (in declaration order) and stores its [out, retval] value in `result`, whose vt the caller
// has set to the member's result type.
HRESULT CallControlMember(IQorX* self, DISPID id, VARIANT* args, VARIANT& result);

}  // namespace qorx::com
