#include "bindings/control/QorXInterface.h"

#include "bindings/control/QorXFileStream.h"

namespace qorx::com {

const CLSID CLSID_QorX = {
    0x95BB2615, 0xF8F1, 0x418B, {0xA0, 0xB6, 0x38, 0x80, 0xCC, 0x82, 0xAC, 0xF4}};
const GUID LIBID_VTKPLG01_QorXCOMLib = {
    0xB3A84EA8, 0x524A, 0x4695, {0xAD, 0xFB, 0x52, 0xF0, 0xCA, 0xF0, 0x0C, 0x61}};
const IID IID_IQorX = {
    0xE99F4785, 0x8E57, 0x485D, {0x89, 0xA3, 0x67, 0xD5, 0x30, 0x53, 0x3B, 0x7A}};

const IID IID_IQorXFileStream = {
    0xF1A335BF, 0x868C, 0x4D15, {0x9B, 0x43, 0xC1, 0xEF, 0x26, 0xCA, 0xE0, 0xC4}};

namespace {

const ControlMember kMembers[kControlMemberCount] = {
    {1, "lCardStatus", MemberKind::Property, VT_I4, 0, {}, {}},
    {2, "sCardATR", MemberKind::Property, VT_BSTR, 0, {}, {}},
    {3, "wSCardError", MemberKind::Property, VT_I4, 0, {}, {}},
    {4, "sSCardError", MemberKind::Property, VT_BSTR, 0, {}, {}},
    {5, "sActiveReader", MemberKind::Property, VT_BSTR, 0, {}, {}},
    {6, "bActive", MemberKind::Property, VT_I4, 0, {}, {}},
    {7, "Open", MemberKind::Method, VT_I4, 1, {"sReaderName"}, {VT_BSTR}},
    {8, "Close", MemberKind::Method, VT_I4, 0, {}, {}},
    {9, "CardDetect", MemberKind::Method, VT_I4, 0, {}, {}},
    {10, "CardAuthenticate", MemberKind::Method, VT_I4, 1, {"sSystemDate"}, {VT_BSTR}},
    {11, "CardVerifySecretCode", MemberKind::Method, VT_I4, 1, {"sSecretCode"}, {VT_BSTR}},
    {12, "CardLogout", MemberKind::Method, VT_I4, 0, {}, {}},
    {13,
     "SignTransaction",
     MemberKind::Method,
     VT_I4,
     2,
     {"sTransactionData", "boolHexadecimalInputString"},
     {VT_BSTR, VT_I4}},
    {14, "HashFile", MemberKind::Method, VT_I4, 1, {"sLocalFileName"}, {VT_BSTR}},
    {16, "GetReaderCount", MemberKind::Method, VT_I4, 0, {}, {}},
    {17, "GetReaderName", MemberKind::Method, VT_I4, 1, {"wReaderIndex"}, {VT_I4}},
    {18, "GetCertificate", MemberKind::Method, VT_I4, 0, {}, {}},
    {19,
     "CalculateSHA1Hash",
     MemberKind::Method,
     VT_I4,
     2,
     {"sInputBuffer", "boolHexadecimalInputString"},
     {VT_BSTR, VT_I4}},
    {20,
     "SecureChannelInit",
     MemberKind::Method,
     VT_I4,
     2,
     {"sHostChallenge", "boolHexadecimalInputString"},
     {VT_BSTR, VT_I4}},
    {21, "SecureChannelExecScript", MemberKind::Method, VT_I4, 1, {"sScriptBuffer"}, {VT_BSTR}},
    {22, "sPAN", MemberKind::Property, VT_BSTR, 0, {}, {}},
    {23, "sPANSEQ", MemberKind::Property, VT_BSTR, 0, {}, {}},
    {24, "sCriptogramData", MemberKind::Property, VT_BSTR, 0, {}, {}},
    {25, "wSecureChannelResult", MemberKind::Property, VT_I4, 0, {}, {}},
    {26, "wRetries", MemberKind::Property, VT_I4, 0, {}, {}},
    {27, "wReaderCount", MemberKind::Property, VT_I4, 0, {}, {}},
    {28, "sReaderName", MemberKind::Property, VT_BSTR, 0, {}, {}},
    {29, "sCertificateData", MemberKind::Property, VT_BSTR, 0, {}, {}},
    {30, "sHashOutput", MemberKind::Property, VT_BSTR, 0, {}, {}},
    {31, "sInitializationData", MemberKind::Property, VT_BSTR, 0, {}, {}},
    {32, "wVersionRelease", MemberKind::Property, VT_I4, 0, {}, {}},
    {33, "wAppStatus", MemberKind::Property, VT_I4, 0, {}, {}},
    {34, "GetApplicationState", MemberKind::Method, VT_I4, 0, {}, {}},
    {35,
     "ChangeSecretCode",
     MemberKind::Method,
     VT_I4,
     2,
     {"sActualSecretCode", "sNewSecretCode"},
     {VT_BSTR, VT_BSTR}},
    {36,
     "RSAPasswordEncryptWithPublicKey",
     MemberKind::Method,
     VT_I4,
     4,
     {"sInputData", "boolHexadecimalInputString", "wType", "bKeyVersion"},
     {VT_BSTR, VT_I4, VT_I4, VT_I4}},
    {37, "sEncryptedPassword", MemberKind::Property, VT_BSTR, 0, {}, {}},
    {38, "PerformPCSCDiagnosticTest", MemberKind::Method, VT_I4, 0, {}, {}},
    {39, "sPCSCDiagnosticResult", MemberKind::Property, VT_BSTR, 0, {}, {}},
    {40, "SignFile", MemberKind::Method, VT_I4, 1, {"sLocalFileName"}, {VT_BSTR}},
    {41, "sVersion", MemberKind::Property, VT_BSTR, 0, {}, {}},
};

}  // namespace

const ControlMember* ControlMembers() noexcept {
  return kMembers;
}

const ControlMember* FindControlMember(DISPID id) noexcept {
  for (const ControlMember& member : kMembers)
    if (member.id == id) return &member;
  return nullptr;
}

HRESULT CallControlMember(IQorX* self, DISPID id, VARIANT* args, VARIANT& result) {
  switch (id) {
    case 1:
      return self->get_lCardStatus(&result.lVal);
    case 2:
      return self->get_sCardATR(&result.bstrVal);
    case 3:
      return self->get_wSCardError(&result.lVal);
    case 4:
      return self->get_sSCardError(&result.bstrVal);
    case 5:
      return self->get_sActiveReader(&result.bstrVal);
    case 6:
      return self->get_bActive(&result.lVal);
    case 7:
      return self->Open(args[0].bstrVal, &result.lVal);
    case 8:
      return self->Close(&result.lVal);
    case 9:
      return self->CardDetect(&result.lVal);
    case 10:
      return self->CardAuthenticate(args[0].bstrVal, &result.lVal);
    case 11:
      return self->CardVerifySecretCode(args[0].bstrVal, &result.lVal);
    case 12:
      return self->CardLogout(&result.lVal);
    case 13:
      return self->SignTransaction(args[0].bstrVal, args[1].lVal, &result.lVal);
    case 14:
      return self->HashFile(args[0].bstrVal, &result.lVal);
    case 16:
      return self->GetReaderCount(&result.lVal);
    case 17:
      return self->GetReaderName(args[0].lVal, &result.lVal);
    case 18:
      return self->GetCertificate(&result.lVal);
    case 19:
      return self->CalculateSHA1Hash(args[0].bstrVal, args[1].lVal, &result.lVal);
    case 20:
      return self->SecureChannelInit(args[0].bstrVal, args[1].lVal, &result.lVal);
    case 21:
      return self->SecureChannelExecScript(args[0].bstrVal, &result.lVal);
    case 22:
      return self->get_sPAN(&result.bstrVal);
    case 23:
      return self->get_sPANSEQ(&result.bstrVal);
    case 24:
      return self->get_sCriptogramData(&result.bstrVal);
    case 25:
      return self->get_wSecureChannelResult(&result.lVal);
    case 26:
      return self->get_wRetries(&result.lVal);
    case 27:
      return self->get_wReaderCount(&result.lVal);
    case 28:
      return self->get_sReaderName(&result.bstrVal);
    case 29:
      return self->get_sCertificateData(&result.bstrVal);
    case 30:
      return self->get_sHashOutput(&result.bstrVal);
    case 31:
      return self->get_sInitializationData(&result.bstrVal);
    case 32:
      return self->get_wVersionRelease(&result.lVal);
    case 33:
      return self->get_wAppStatus(&result.lVal);
    case 34:
      return self->GetApplicationState(&result.lVal);
    case 35:
      return self->ChangeSecretCode(args[0].bstrVal, args[1].bstrVal, &result.lVal);
    case 36:
      return self->RSAPasswordEncryptWithPublicKey(args[0].bstrVal, args[1].lVal, args[2].lVal,
                                                   args[3].lVal, &result.lVal);
    case 37:
      return self->get_sEncryptedPassword(&result.bstrVal);
    case 38:
      return self->PerformPCSCDiagnosticTest(&result.lVal);
    case 39:
      return self->get_sPCSCDiagnosticResult(&result.bstrVal);
    case 40:
      return self->SignFile(args[0].bstrVal, &result.lVal);
    case 41:
      return self->get_sVersion(&result.bstrVal);
    default:
      return DISP_E_MEMBERNOTFOUND;
  }
}

}  // namespace qorx::com
