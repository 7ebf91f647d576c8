// The control's IUnknown and IDispatch: members are found by name, ignoring case, and called
// through the dispatch table with their arguments coerced to the declared types.
#include <cstring>

#include "bindings/control/QorX.h"

namespace qorx::com {

namespace {

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

}  // namespace

// ---- IUnknown ----

HRESULT CQorX::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IQorX) {
    *ppv = static_cast<IQorX*>(this);
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

}  // namespace qorx::com
