#pragma once

// The small part of COM and OLE Automation the control and its script host need, shaped as on
// Windows so that the control's interface keeps its binary layout: HRESULT values, GUIDs,
// BSTRs, a VARIANT subset, DISPPARAMS, and IUnknown, IDispatch and IClassFactory with Windows'
// slot order. Nothing here talks to a system COM runtime; there is none on Linux.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/ByteArray.h"
#include "core/Utf8.h"

namespace qorx::com {

using HRESULT = int32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using DISPID = int32_t;
using LCID = uint32_t;
using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
using OLECHAR = char16_t;
using BSTR = OLECHAR*;

constexpr HRESULT MakeHresult(uint32_t value) {
  return static_cast<HRESULT>(value);
}
constexpr bool Succeeded(HRESULT hr) {
  return hr >= 0;
}
constexpr bool Failed(HRESULT hr) {
  return hr < 0;
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = MakeHresult(0x80004001);
constexpr HRESULT E_NOINTERFACE = MakeHresult(0x80004002);
constexpr HRESULT E_POINTER = MakeHresult(0x80004003);
constexpr HRESULT E_FAIL = MakeHresult(0x80004005);
constexpr HRESULT E_UNEXPECTED = MakeHresult(0x8000FFFF);
constexpr HRESULT E_OUTOFMEMORY = MakeHresult(0x8007000E);
constexpr HRESULT E_INVALIDARG = MakeHresult(0x80070057);
constexpr HRESULT E_ACCESSDENIED = MakeHresult(0x80070005);
constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHresult(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHresult(0x80040111);
constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHresult(0x80040154);
constexpr HRESULT REGDB_E_READREGDB = MakeHresult(0x80040150);
constexpr HRESULT REGDB_E_WRITEREGDB = MakeHresult(0x80040151);
constexpr HRESULT CO_E_CLASSSTRING = MakeHresult(0x800401F3);
constexpr HRESULT CO_E_DLLNOTFOUND = MakeHresult(0x800401F8);
constexpr HRESULT CO_E_ERRORINDLL = MakeHresult(0x800401F9);
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = MakeHresult(0x80020001);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = MakeHresult(0x80020003);
constexpr HRESULT DISP_E_PARAMNOTFOUND = MakeHresult(0x80020004);
constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHresult(0x80020005);
constexpr HRESULT DISP_E_UNKNOWNNAME = MakeHresult(0x80020006);
constexpr HRESULT DISP_E_NONAMEDARGS = MakeHresult(0x80020007);
constexpr HRESULT DISP_E_BADVARTYPE = MakeHresult(0x80020008);
constexpr HRESULT DISP_E_EXCEPTION = MakeHresult(0x80020009);
constexpr HRESULT DISP_E_OVERFLOW = MakeHresult(0x8002000A);
constexpr HRESULT DISP_E_BADINDEX = MakeHresult(0x8002000B);
constexpr HRESULT DISP_E_BADPARAMCOUNT = MakeHresult(0x8002000E);

constexpr DISPID DISPID_UNKNOWN = -1;
constexpr uint16_t DISPATCH_METHOD = 1;
constexpr uint16_t DISPATCH_PROPERTYGET = 2;
constexpr uint16_t DISPATCH_PROPERTYPUT = 4;
constexpr uint16_t DISPATCH_PROPERTYPUTREF = 8;

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

enum : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R8 = 5,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_BYREF = 0x4000,
};

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const GUID&;
using REFCLSID = const GUID&;

bool operator==(const GUID& a, const GUID& b) noexcept;
inline bool operator!=(const GUID& a, const GUID& b) noexcept {
  return !(a == b);
}
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case, as the registry keeps it.
std::string GuidToString(const GUID& guid);
// Reads the braced form in either case; false for anything else.
bool GuidFromString(const std::string& text, GUID* out) noexcept;

extern const IID IID_NULL;
extern const IID IID_IUnknown;
extern const IID IID_IDispatch;
extern const IID IID_IClassFactory;

// The pointer-sized layout of Windows' VARIANT (24 bytes on a 64-bit system).
struct VARIANT;
class IUnknown;
class IDispatch;
struct VariantRecord {
  void* pvRecord;
  void* pRecInfo;
};
struct VARIANT {
  VARTYPE vt;
  uint16_t wReserved1;
  uint16_t wReserved2;
  uint16_t wReserved3;
  union {
    int16_t iVal;
    LONG lVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    int16_t* piVal;
    LONG* plVal;
    double* pdblVal;
    VARIANT_BOOL* pboolVal;
    BSTR* pbstrVal;
    VARIANT* pvarVal;
    void* byref;
    VariantRecord record;  // sizes the union as on Windows
  };
};
using VARIANTARG = VARIANT;

struct DISPPARAMS {
  VARIANTARG* rgvarg;  // arguments in reverse order
  DISPID* rgdispidNamedArgs;
  uint32_t cArgs;
  uint32_t cNamedArgs;
};

struct EXCEPINFO {
  uint16_t wCode;
  uint16_t wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  uint32_t dwHelpContext;
  void* pvReserved;
  void* pfnDeferredFillIn;
  HRESULT scode;
};

// Interfaces: no virtual destructor, so the first slot is QueryInterface as on Windows; an
// object is destroyed by its last Release.
class IUnknown {
 public:
  virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

class ITypeInfo;

class IDispatch : public IUnknown {
 public:
  virtual HRESULT GetTypeInfoCount(uint32_t* pctinfo) = 0;
  virtual HRESULT GetTypeInfo(uint32_t iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
  virtual HRESULT GetIDsOfNames(REFIID riid, OLECHAR** rgszNames, uint32_t cNames, LCID lcid,
                                DISPID* rgDispId) = 0;
  virtual HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, uint16_t wFlags,
                         DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                         uint32_t* puArgErr) = 0;

 protected:
  ~IDispatch() = default;
};

class IClassFactory : public IUnknown {
 public:
  virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) = 0;
  virtual HRESULT LockServer(int32_t fLock) = 0;

 protected:
  ~IClassFactory() = default;
};

// The in-process server entry points as the library exports them.
using DllGetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();

// BSTRs as OLE Automation allocates them: a 32-bit byte length before the characters and a
// NUL after them; the pointer is to the first character. A null BSTR is the empty string.
BSTR SysAllocString(const OLECHAR* text) noexcept;
BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length) noexcept;
// Wipes the characters before giving the memory back: BSTRs carry secret codes.
void SysFreeString(BSTR text) noexcept;
uint32_t SysStringLen(BSTR text) noexcept;
uint32_t SysStringByteLen(BSTR text) noexcept;

void VariantInit(VARIANT* v) noexcept;
HRESULT VariantClear(VARIANT* v) noexcept;
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) noexcept;
// Coerces `src` to `vt` (VT_I4, VT_BOOL, VT_R8 or VT_BSTR) into `dest`, reading through
// VT_BYREF forms, as OLE Automation's VariantChangeType does for these types. `dest` may be
// `src`. DISP_E_TYPEMISMATCH when there is no conversion, DISP_E_OVERFLOW when the value does
// not fit.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, uint16_t flags, VARTYPE vt) noexcept;

// Text conversions of the thread's "ANSI code page", which on Linux is UTF-8. UTF-16 to UTF-8
// turns an unpaired surrogate into U+FFFD; UTF-8 to UTF-16 does the same with a byte sequence
// that is not UTF-8.
// The UTF-8 result is a text of the library (bytes and a NUL) that wipes itself: the texts may
// be secret codes.
TSDByteArray Utf16ToUtf8(const OLECHAR* text, size_t length);
std::u16string Utf8ToUtf16(const char* text, size_t length);
// A new BSTR of a UTF-8 text; null when memory runs out.
BSTR BstrFromUtf8(const char* text, size_t length) noexcept;
BSTR BstrFromUtf8(const std::string& text) noexcept;
// The same for a text of another form, or with another cut of broken sequences.
BSTR BstrFromText(const char* text, size_t length, utf8::Broken broken, utf8::Form form) noexcept;

}  // namespace qorx::com
