#include "bindings/control/Com.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "core/Hex.h"
#include "core/Wipe.h"

namespace qorx::com {

const IID IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

bool operator==(const GUID& a, const GUID& b) noexcept {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

std::string GuidToString(const GUID& g) {
  char text[39];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

bool GuidFromString(const std::string& text, GUID* out) noexcept {
  // {8-4-4-4-12}: 38 characters with the braces.
  if (out == nullptr || text.size() != 38 || text.front() != '{' || text.back() != '}')
    return false;
  uint8_t bytes[16];
  size_t n = 0;
  for (size_t i = 1; i < 37;) {
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (text[i] != '-') return false;
      ++i;
      continue;
    }
    const int high = hex::DigitValue(text[i]), low = hex::DigitValue(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[n++] = static_cast<uint8_t>(high << 4 | low);
    i += 2;
  }
  out->Data1 = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
               static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
  out->Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
  out->Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
  std::memcpy(out->Data4, bytes + 8, 8);
  return true;
}

// ---- BSTR ----

namespace {
constexpr size_t kPrefix = sizeof(uint32_t);
// The prefix sits just before the characters; blocks are allocated with room for it and a
// NUL, and aligned for the prefix.
uint32_t* PrefixOf(BSTR text) noexcept {
  return reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(text) - kPrefix);
}
}  // namespace

BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length) noexcept {
  if (length >
      (std::numeric_limits<uint32_t>::max() - kPrefix - sizeof(OLECHAR)) / sizeof(OLECHAR) / 2)
    return nullptr;
  const size_t bytes = static_cast<size_t>(length) * sizeof(OLECHAR);
  void* block = std::calloc(1, kPrefix + bytes + sizeof(OLECHAR));
  if (block == nullptr) return nullptr;
  *static_cast<uint32_t*>(block) = static_cast<uint32_t>(bytes);
  BSTR result = reinterpret_cast<BSTR>(static_cast<char*>(block) + kPrefix);
  if (text != nullptr && length > 0) std::memcpy(result, text, bytes);
  return result;
}

BSTR SysAllocString(const OLECHAR* text) noexcept {
  if (text == nullptr) return nullptr;
  uint32_t length = 0;
  while (text[length] != 0) ++length;
  return SysAllocStringLen(text, length);
}

void SysFreeString(BSTR text) noexcept {
  if (text == nullptr) return;
  uint32_t* prefix = PrefixOf(text);
  SecureWipe(prefix, kPrefix + *prefix + sizeof(OLECHAR));
  std::free(prefix);
}

uint32_t SysStringByteLen(BSTR text) noexcept {
  return text == nullptr ? 0 : *PrefixOf(text);
}

uint32_t SysStringLen(BSTR text) noexcept {
  return SysStringByteLen(text) / static_cast<uint32_t>(sizeof(OLECHAR));
}

// ---- text conversions ----

// A broken sequence is one U+FFFD from its lead byte to the continuation bytes it announced.
constexpr utf8::Broken kBroken = utf8::Broken::kAnnounced;

TSDByteArray Utf16ToUtf8(const OLECHAR* text, size_t length) {
  return utf8::FromUtf16(text, length);
}

std::u16string Utf8ToUtf16(const char* text, size_t length) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text);
  std::u16string out(utf8::ToUtf16(bytes, length, nullptr, kBroken, utf8::Form::kUtf8), u'\0');
  utf8::ToUtf16(bytes, length, out.data(), kBroken, utf8::Form::kUtf8);
  return out;
}

BSTR BstrFromText(const char* text, size_t length, utf8::Broken broken, utf8::Form form) noexcept {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text);
  const size_t units = utf8::ToUtf16(bytes, length, nullptr, broken, form);
  if (units > std::numeric_limits<uint32_t>::max() / 4) return nullptr;
  // Converted straight into the BSTR: no other copy of a secret code is left to wipe.
  BSTR out = SysAllocStringLen(nullptr, static_cast<uint32_t>(units));
  if (out != nullptr) utf8::ToUtf16(bytes, length, out, broken, form);
  return out;
}

BSTR BstrFromUtf8(const char* text, size_t length) noexcept {
  return BstrFromText(text, length, kBroken, utf8::Form::kUtf8);
}

BSTR BstrFromUtf8(const std::string& text) noexcept {
  return BstrFromUtf8(text.data(), text.size());
}

// ---- VARIANT ----

void VariantInit(VARIANT* v) noexcept {
  if (v == nullptr) return;
  std::memset(static_cast<void*>(v), 0, sizeof *v);
  v->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* v) noexcept {
  if (v == nullptr) return E_INVALIDARG;
  switch (v->vt) {
    case VT_BSTR:
      SysFreeString(v->bstrVal);
      break;
    case VT_UNKNOWN:
    case VT_DISPATCH:
      if (v->punkVal != nullptr) v->punkVal->Release();
      break;
    default:
      break;
  }
  VariantInit(v);
  return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) noexcept {
  if (dest == nullptr || src == nullptr) return E_INVALIDARG;
  if (dest == src) return S_OK;
  VARIANT copy = *src;
  if (src->vt == VT_BSTR && src->bstrVal != nullptr) {
    copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
    if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
  } else if ((src->vt == VT_UNKNOWN || src->vt == VT_DISPATCH) && src->punkVal != nullptr) {
    src->punkVal->AddRef();
  }
  VariantClear(dest);
  *dest = copy;
  return S_OK;
}

namespace {

// The value a VT_BYREF form points to, as a plain VARIANT that owns nothing.
bool Dereference(const VARIANT& src, VARIANT* out) noexcept {
  VariantInit(out);
  if ((src.vt & VT_BYREF) == 0) {
    *out = src;
    return true;
  }
  if (src.byref == nullptr) return false;
  const VARTYPE base = static_cast<VARTYPE>(src.vt & ~VT_BYREF);
  out->vt = base;
  switch (base) {
    case VT_I2:
      out->iVal = *src.piVal;
      return true;
    case VT_I4:
      out->lVal = *src.plVal;
      return true;
    case VT_R8:
      out->dblVal = *src.pdblVal;
      return true;
    case VT_BOOL:
      out->boolVal = *src.pboolVal;
      return true;
    case VT_BSTR:
      out->bstrVal = *src.pbstrVal;
      return true;
    case VT_VARIANT:
      // One level only, as OLE Automation allows.
      if ((src.pvarVal->vt & VT_BYREF) != 0) return false;
      *out = *src.pvarVal;
      return true;
    default:
      return false;
  }
}

// A decimal number as VarR8FromStr reads it: blanks around it, a sign, digits with an
// optional fraction and exponent.
HRESULT NumberFromBstr(BSTR text, double* out) {
  const TSDByteArray utf8 = Utf16ToUtf8(text, SysStringLen(text));
  const char* s = utf8.CStr();
  while (*s == ' ' || *s == '\t') ++s;
  if (*s == 0) return DISP_E_TYPEMISMATCH;
  // strtod would also take hexadecimal, "inf" and "nan", which VariantChangeType refuses.
  const char* p = s;
  if (*p == '+' || *p == '-') ++p;
  bool digits = false;
  while (std::isdigit(static_cast<unsigned char>(*p))) ++p, digits = true;
  if (*p == '.') {
    ++p;
    while (std::isdigit(static_cast<unsigned char>(*p))) ++p, digits = true;
  }
  if (!digits) return DISP_E_TYPEMISMATCH;
  if (*p == 'e' || *p == 'E') {
    const char* e = p + 1;
    if (*e == '+' || *e == '-') ++e;
    if (!std::isdigit(static_cast<unsigned char>(*e))) return DISP_E_TYPEMISMATCH;
    while (std::isdigit(static_cast<unsigned char>(*e))) ++e;
    p = e;
  }
  const char* end = p;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != 0 || static_cast<int32_t>(end - utf8.CStr()) != utf8.TextLength())
    return DISP_E_TYPEMISMATCH;
  *out = std::strtod(s, nullptr);
  if (!std::isfinite(*out)) return DISP_E_OVERFLOW;
  return S_OK;
}

HRESULT ToDouble(const VARIANT& v, double* out) {
  switch (v.vt) {
    case VT_EMPTY:
      *out = 0;
      return S_OK;
    case VT_I2:
      *out = v.iVal;
      return S_OK;
    case VT_I4:
      *out = v.lVal;
      return S_OK;
    case VT_R8:
      *out = v.dblVal;
      return S_OK;
    case VT_BOOL:
      *out = v.boolVal != 0 ? -1 : 0;
      return S_OK;
    case VT_BSTR:
      return NumberFromBstr(v.bstrVal, out);
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

BSTR AsciiBstr(const char* text) noexcept {
  return BstrFromUtf8(text, std::strlen(text));
}

HRESULT ToBstr(const VARIANT& v, BSTR* out) {
  char text[64];
  switch (v.vt) {
    case VT_EMPTY:
      *out = SysAllocStringLen(nullptr, 0);
      break;
    case VT_BSTR:
      *out = v.bstrVal == nullptr ? nullptr : SysAllocStringLen(v.bstrVal, SysStringLen(v.bstrVal));
      return v.bstrVal != nullptr && *out == nullptr ? E_OUTOFMEMORY : S_OK;
    case VT_I2:
      std::snprintf(text, sizeof text, "%d", v.iVal);
      *out = AsciiBstr(text);
      break;
    case VT_I4:
      std::snprintf(text, sizeof text, "%d", static_cast<int>(v.lVal));
      *out = AsciiBstr(text);
      break;
    case VT_R8:
      // Up to 15 significant digits, as OLE Automation writes doubles.
      std::snprintf(text, sizeof text, "%.15G", v.dblVal);
      *out = AsciiBstr(text);
      break;
    case VT_BOOL:
      *out = AsciiBstr(v.boolVal != 0 ? "True" : "False");
      break;
    default:
      return DISP_E_TYPEMISMATCH;
  }
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

}  // namespace

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, uint16_t /*flags*/,
                          VARTYPE vt) noexcept {
  if (dest == nullptr || src == nullptr) return E_INVALIDARG;
  try {
    VARIANT value;
    if (!Dereference(*src, &value)) return DISP_E_BADVARTYPE;
    VARIANT result;
    VariantInit(&result);
    result.vt = vt;
    HRESULT hr = S_OK;
    switch (vt) {
      case VT_I4: {
        if (value.vt == VT_I4) {
          result.lVal = value.lVal;
          break;
        }
        double d = 0;
        hr = ToDouble(value, &d);
        if (Failed(hr)) return hr;
        // Halves go to the even neighbour (banker's rounding), as VarI4FromR8 rounds.
        d = std::nearbyint(d);
        if (d < -2147483648.0 || d > 2147483647.0) return DISP_E_OVERFLOW;
        result.lVal = static_cast<LONG>(d);
        break;
      }
      case VT_R8:
        hr = ToDouble(value, &result.dblVal);
        if (Failed(hr)) return hr;
        break;
      case VT_BOOL: {
        double d = 0;
        hr = ToDouble(value, &d);
        if (Failed(hr)) return hr;
        result.boolVal = d != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        break;
      }
      case VT_BSTR:
        hr = ToBstr(value, &result.bstrVal);
        if (Failed(hr)) return hr;
        break;
      default:
        return DISP_E_TYPEMISMATCH;
    }
    if (dest != src) {
      VariantClear(dest);
    } else if ((src->vt & VT_BYREF) == 0) {
      VariantClear(dest);
    }
    *dest = result;
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace qorx::com
