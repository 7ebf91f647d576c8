#include "tools/script/Values.h"

#include <cmath>
#include <cstdint>

#include "core/Utf8.h"
#include "tools/script/Controls.h"

namespace qorx::script {

using namespace qorx::com;

namespace {

// The engine's own strings are never broken; bytes from elsewhere (the command line) may be.
BSTR BstrFromScript(const char* text, size_t length) {
  return BstrFromText(text, length, utf8::Broken::kMaximalSubpart, utf8::Form::kCesu8);
}

// Each UTF-16 unit in its own 1- to 3-byte form, as the engine keeps it.
void PushScriptString(duk_context* ctx, const char16_t* text, size_t length) {
  utf8::TextWriter out(length * 3);
  for (size_t i = 0; i < length; ++i) out.CodePoint(text[i]);
  const TSDByteArray cesu = out.Finish();
  duk_push_lstring(ctx, cesu.CStr(), static_cast<duk_size_t>(cesu.TextLength()));
}

}  // namespace

BSTR ScriptStringToBstr(duk_context* ctx, duk_idx_t index) {
  duk_size_t length = 0;
  const char* text = duk_get_lstring(ctx, index, &length);
  return BstrFromScript(text, length);
}

std::string ScriptStringToUtf8(duk_context* ctx, duk_idx_t index) {
  duk_size_t length = 0;
  const char* text = duk_safe_to_lstring(ctx, index, &length);
  return utf8::Cesu8ToUtf8(reinterpret_cast<const uint8_t*>(text), length).CStr();
}

bool ToVariant(duk_context* ctx, duk_idx_t index, VARIANT* out) {
  VariantInit(out);
  switch (duk_get_type(ctx, index)) {
    case DUK_TYPE_UNDEFINED:
      return true;
    case DUK_TYPE_NULL:
      out->vt = VT_NULL;
      return true;
    case DUK_TYPE_BOOLEAN:
      out->vt = VT_BOOL;
      out->boolVal = duk_get_boolean(ctx, index) ? VARIANT_TRUE : VARIANT_FALSE;
      return true;
    case DUK_TYPE_NUMBER: {
      const double d = duk_get_number(ctx, index);
      if (std::trunc(d) == d && d >= -2147483648.0 && d <= 2147483647.0 &&
          !(d == 0 && std::signbit(d))) {
        out->vt = VT_I4;
        out->lVal = static_cast<LONG>(d);
      } else {
        out->vt = VT_R8;
        out->dblVal = d;
      }
      return true;
    }
    case DUK_TYPE_STRING:
      out->bstrVal = ScriptStringToBstr(ctx, index);
      if (out->bstrVal == nullptr) return false;
      out->vt = VT_BSTR;
      return true;
    default:
      return false;
  }
}

bool PushVariant(duk_context* ctx, VARIANT* v) {
  bool pushed = true;
  switch (v->vt) {
    case VT_EMPTY:
      duk_push_undefined(ctx);
      break;
    case VT_NULL:
      duk_push_null(ctx);
      break;
    case VT_I2:
      duk_push_int(ctx, v->iVal);
      break;
    case VT_I4:
      duk_push_int(ctx, v->lVal);
      break;
    case VT_R8:
      duk_push_number(ctx, v->dblVal);
      break;
    case VT_BOOL:
      duk_push_boolean(ctx, v->boolVal != 0);
      break;
    case VT_BSTR:
      // A null BSTR is the empty string, as in JScript.
      PushScriptString(ctx, v->bstrVal, SysStringLen(v->bstrVal));
      break;
    case VT_DISPATCH:
      if (v->pdispVal == nullptr) {
        duk_push_null(ctx);
      } else {
        v->pdispVal->AddRef();
        PushDispatch(ctx, v->pdispVal);
      }
      break;
    default:
      duk_push_sprintf(ctx, "the control returned the unsupported type %d",
                       static_cast<int>(v->vt));
      pushed = false;
  }
  VariantClear(v);
  return pushed;
}

}  // namespace qorx::script
