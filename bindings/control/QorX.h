#pragma once

// The scriptable control: every method runs one operation of the control's own card service
// and leaves its results in read-only properties; the method's [out, retval] lResult is the
// status (0 for success), and its HRESULT is a failure only for a null lResult or pVal.

#include <atomic>
#include <memory>

#include "applet/QorTerminalAppletService.h"
#include "bindings/Operations.h"
#include "bindings/control/QorXFileStream.h"
#include "bindings/control/QorXInterface.h"
#include "core/ByteArray.h"
#include "core/Exceptions.h"

namespace qorx::com {

// Objects and locks alive in this module (DllCanUnloadNow).
std::atomic<long>& ModuleUsage() noexcept;

class CQorX final : public IQorX, public IQorXFileStream {
 public:
  // `slotFactory` null: the process-wide PC/SC factory.
  explicit CQorX(TSDBaseServiceFactory* slotFactory = nullptr);
  CQorX(const CQorX&) = delete;
  CQorX& operator=(const CQorX&) = delete;

  // IUnknown
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IDispatch
  HRESULT GetTypeInfoCount(uint32_t* pctinfo) override;
  HRESULT GetTypeInfo(uint32_t iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT GetIDsOfNames(REFIID riid, OLECHAR** rgszNames, uint32_t cNames, LCID lcid,
                        DISPID* rgDispId) override;
  HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, uint16_t wFlags,
                 DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                 uint32_t* puArgErr) override;

  // IQorX
  HRESULT get_lCardStatus(LONG* pVal) override;
  HRESULT get_sCardATR(BSTR* pVal) override;
  HRESULT get_wSCardError(LONG* pVal) override;
  HRESULT get_sSCardError(BSTR* pVal) override;
  HRESULT get_sActiveReader(BSTR* pVal) override;
  HRESULT get_bActive(LONG* pVal) override;
  HRESULT Open(BSTR sReaderName, LONG* lResult) override;
  HRESULT Close(LONG* lResult) override;
  HRESULT CardDetect(LONG* lResult) override;
  HRESULT CardAuthenticate(BSTR sSystemDate, LONG* lResult) override;
  HRESULT CardVerifySecretCode(BSTR sSecretCode, LONG* lResult) override;
  HRESULT CardLogout(LONG* lResult) override;
  HRESULT SignTransaction(BSTR sTransactionData, LONG boolHexadecimalInputString,
                          LONG* lResult) override;
  HRESULT HashFile(BSTR sLocalFileName, LONG* lResult) override;
  HRESULT GetReaderCount(LONG* lResult) override;
  HRESULT GetReaderName(LONG wReaderIndex, LONG* lResult) override;
  HRESULT GetCertificate(LONG* lResult) override;
  HRESULT CalculateSHA1Hash(BSTR sInputBuffer, LONG boolHexadecimalInputString,
                            LONG* lResult) override;
  HRESULT SecureChannelInit(BSTR sHostChallenge, LONG boolHexadecimalInputString,
                            LONG* lResult) override;
  HRESULT SecureChannelExecScript(BSTR sScriptBuffer, LONG* lResult) override;
  HRESULT get_sPAN(BSTR* pVal) override;
  HRESULT get_sPANSEQ(BSTR* pVal) override;
  HRESULT get_sCriptogramData(BSTR* pVal) override;
  HRESULT get_wSecureChannelResult(LONG* pVal) override;
  HRESULT get_wRetries(LONG* pVal) override;
  HRESULT get_wReaderCount(LONG* pVal) override;
  HRESULT get_sReaderName(BSTR* pVal) override;
  HRESULT get_sCertificateData(BSTR* pVal) override;
  HRESULT get_sHashOutput(BSTR* pVal) override;
  HRESULT get_sInitializationData(BSTR* pVal) override;
  HRESULT get_wVersionRelease(LONG* pVal) override;
  HRESULT get_wAppStatus(LONG* pVal) override;
  HRESULT GetApplicationState(LONG* lResult) override;
  HRESULT ChangeSecretCode(BSTR sActualSecretCode, BSTR sNewSecretCode, LONG* lResult) override;
  HRESULT RSAPasswordEncryptWithPublicKey(BSTR sInputData, LONG boolHexadecimalInputString,
                                          LONG wType, LONG bKeyVersion, LONG* lResult) override;
  HRESULT get_sEncryptedPassword(BSTR* pVal) override;
  HRESULT PerformPCSCDiagnosticTest(LONG* lResult) override;
  HRESULT get_sPCSCDiagnosticResult(BSTR* pVal) override;
  HRESULT SignFile(BSTR sLocalFileName, LONG* lResult) override;
  HRESULT get_sVersion(BSTR* pVal) override;

  // IQorXFileStream
  HRESULT BeginFile(uint64_t size) override;
  HRESULT FileData(const uint8_t* bytes, uint32_t length) override;
  HRESULT EndFile(LONG sign, LONG* lResult) override;
  HRESULT AbandonFile() override;

 private:
  ~CQorX();

  // A stored text property: owned, null when unset.
  class Property {
   public:
    Property() = default;
    Property(const Property&) = delete;
    Property& operator=(const Property&) = delete;
    ~Property() { Clear(); }
    void Clear() noexcept;
    // Replaces the value by the UTF-8 text; raises 0xC200 when memory runs out.
    void Set(const char* text, size_t length);
    void Set(const TSDByteArray& text) { Set(text.CStr(), static_cast<size_t>(text.TextLength())); }
    // A copy for a caller (null for null): E_OUTOFMEMORY when it cannot be made.
    HRESULT CopyTo(BSTR* out) const noexcept;
    BSTR Get() const noexcept { return value_; }

   private:
    BSTR value_ = nullptr;
  };

  // The method frame: runs `body` and turns what it raises into *lResult. With `fileCodes`
  // (HashFile, SignFile) a file's 785 or 786 is also kept as the last error.
  template <typename Body>
  HRESULT RunMethod(LONG* lResult, Body&& body, bool fileCodes = false) noexcept;
  // HashFile (`sign` false) or SignFile of the digest `digestOf` writes, which raises what
  // reading the file raised: one frame for a named file and for one handed in pieces.
  template <typename DigestOf>
  HRESULT FileMethod(bool sign, LONG* lResult, DigestOf&& digestOf) noexcept;
  // Bytes of a text argument: its hexadecimal digits when `hexadecimal` is not 0, otherwise
  // the whole text as UTF-8. 259 for an empty text and for rejected digits.
  TSDByteArray InputToBytes(BSTR text, LONG hexadecimal);
  // Keeps `value` as the last error; without memory for it, the old record stays.
  void KeepLastError(const EAPSException& value) noexcept;
  // Stores the hexadecimal text of `bytes` in `property`, freeing the old value first.
  static void StoreHexProperty(const TSDByteArray& bytes, Property& property);

  std::atomic<ULONG> references_{1};
  std::unique_ptr<TQorTerminalAppletService> service_;
  EAPSException lastError_;
  LONG active_ = 0;
  uint16_t retries_ = 0;
  uint16_t appStatus_ = 0;
  uint16_t secureChannelResult_ = 0;
  LONG readerCount_ = 0;
  Property pan_, panSequence_, cryptogram_, readerName_, certificate_, hashOutput_,
      initializationData_, encryptedPassword_, diagnosticResult_, version_;
  std::unique_ptr<ops::StreamedFileDigest> streamed_;  // the file being handed in, if any
};

}  // namespace qorx::com
