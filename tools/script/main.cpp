// qorx-script: runs a page script written for a browser's JScript engine against the controls
// registered in the file-backed registry.
//
//   qorx-script SCRIPT.js [ARGUMENT...]
//
// The script sees `new ActiveXObject(progId)`, whose members are called and read by name
// through IDispatch, and a WScript object: Echo(values...) prints one line, Arguments(i) /
// Arguments.length give the arguments after the script, Sleep(ms) waits, Quit(code) ends the
// run. A failing HRESULT becomes a script error whose `number` is the HRESULT. The exit status
// is 0 when the script ran to its end, the Quit code, or 1 after an uncaught error.

#include <duktape.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bindings/control/Com.h"
#include "tools/script/ComClient.h"

using namespace qorx::com;

namespace {

std::vector<std::string> g_arguments;
bool g_quit = false;
int g_quitCode = 0;

// ---- strings: Duktape keeps ECMAScript strings as CESU-8 (a surrogate is 3 bytes) ----

std::u16string FromScriptString(const char* text, size_t length) {
  std::u16string out;
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  for (size_t i = 0; i < length;) {
    const unsigned char c = s[i];
    uint32_t cp;
    size_t n;
    if (c < 0x80) {
      cp = c, n = 1;
    } else if ((c & 0xE0) == 0xC0 && i + 1 < length) {
      cp = (c & 0x1Fu) << 6 | (s[i + 1] & 0x3Fu), n = 2;
    } else if ((c & 0xF0) == 0xE0 && i + 2 < length) {
      cp = (c & 0x0Fu) << 12 | (s[i + 1] & 0x3Fu) << 6 | (s[i + 2] & 0x3Fu), n = 3;
    } else if ((c & 0xF8) == 0xF0 && i + 3 < length) {
      cp = (c & 0x07u) << 18 | (s[i + 1] & 0x3Fu) << 12 | (s[i + 2] & 0x3Fu) << 6 |
           (s[i + 3] & 0x3Fu);
      n = 4;
    } else {
      cp = 0xFFFD, n = 1;
    }
    i += n;
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp > 0x10FFFF ? 0xFFFD : cp));
    }
  }
  return out;
}

void PushScriptString(duk_context* ctx, const char16_t* text, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    const uint32_t u = text[i];
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
    } else if (u < 0x800) {
      out.push_back(static_cast<char>(0xC0 | u >> 6));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | u >> 12));
      out.push_back(static_cast<char>(0x80 | (u >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
  }
  duk_push_lstring(ctx, out.data(), out.size());
}

// A script string as UTF-8 for the terminal (surrogate pairs joined).
std::string ScriptStringToUtf8(duk_context* ctx, duk_idx_t index) {
  duk_size_t length = 0;
  const char* text = duk_safe_to_lstring(ctx, index, &length);
  const std::u16string wide = FromScriptString(text, length);
  return Utf16ToUtf8(wide.data(), wide.size()).CStr();
}

// ---- errors ----
//
// Duktape raises errors with longjmp, past C++ destructors. So the functions the engine calls
// keep no C++ object alive where they raise: the work is done in helpers that leave either a
// result or a description of the failure on the value stack, and the caller raises with PODs
// only.

// Raises a script error for `hr` whose description is the string on top of the stack.
[[noreturn]] void ThrowHresult(duk_context* ctx, HRESULT hr) {
  const char* what = duk_get_string(ctx, -1);
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
  duk_push_error_object(ctx, DUK_ERR_ERROR, "%s failed: HRESULT %s", what != nullptr ? what : "?",
                        code);
  duk_push_int(ctx, hr);
  duk_put_prop_string(ctx, -2, "number");
  duk_dup(ctx, -2);
  duk_put_prop_string(ctx, -2, "description");
  (void)duk_throw(ctx);
  std::abort();  // duk_throw does not return
}

[[noreturn]] void ThrowTypeError(duk_context* ctx) {
  const char* what = duk_get_string(ctx, -1);
  (void)duk_error(ctx, DUK_ERR_TYPE_ERROR, "%s", what != nullptr ? what : "?");
  std::abort();
}

// What a helper left on the stack.
enum class Left { Value, Nothing, Failure, TypeFailure };

// ---- values ----

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
    case DUK_TYPE_STRING: {
      duk_size_t length = 0;
      const char* text = duk_get_lstring(ctx, index, &length);
      const std::u16string wide = FromScriptString(text, length);
      out->bstrVal = SysAllocStringLen(wide.data(), static_cast<uint32_t>(wide.size()));
      if (out->bstrVal == nullptr) return false;
      out->vt = VT_BSTR;
      return true;
    }
    default:
      return false;
  }
}

void PushDispatch(duk_context* ctx, IDispatch* dispatch);

// Pushes the value (false: a description instead) and releases what the VARIANT held.
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

// ---- controls as script objects: a Proxy over a target that holds the IDispatch ----

IDispatch* DispatchOf(duk_context* ctx, duk_idx_t target) {
  duk_get_prop_string(ctx, target, DUK_HIDDEN_SYMBOL("dispatch"));
  auto* dispatch = static_cast<IDispatch*>(duk_get_pointer(ctx, -1));
  duk_pop(ctx);
  return dispatch;
}

duk_ret_t FinalizeTarget(duk_context* ctx) {
  if (IDispatch* dispatch = DispatchOf(ctx, 0)) {
    dispatch->Release();
    duk_push_pointer(ctx, nullptr);
    duk_put_prop_string(ctx, 0, DUK_HIDDEN_SYMBOL("dispatch"));
  }
  return 0;
}

// Calls member `id` with the values at stack indices 0 to argc - 1 and leaves the result, or
// on failure *hr and a description naming `name`.
Left InvokeMember(duk_context* ctx, IDispatch* dispatch, DISPID id, uint16_t flags, duk_idx_t argc,
                  const char* name, HRESULT* hr) {
  std::vector<VARIANT> args(static_cast<size_t>(argc));
  for (duk_idx_t i = 0; i < argc; ++i) {
    if (!ToVariant(ctx, i, &args[static_cast<size_t>(argc - 1 - i)])) {
      for (VARIANT& arg : args) VariantClear(&arg);
      duk_push_sprintf(ctx, "argument %d of %s cannot be passed to a control",
                       static_cast<int>(i + 1), name);
      return Left::TypeFailure;
    }
  }
  DISPPARAMS params = {args.empty() ? nullptr : args.data(), nullptr, static_cast<uint32_t>(argc),
                       0};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO exception;
  std::memset(static_cast<void*>(&exception), 0, sizeof exception);
  uint32_t argError = 0;
  *hr = dispatch->Invoke(id, IID_NULL, 0, flags, &params, &result, &exception, &argError);
  for (VARIANT& arg : args) VariantClear(&arg);
  if (*hr == DISP_E_EXCEPTION && Failed(exception.scode)) *hr = exception.scode;
  if (Failed(*hr)) {
    VariantClear(&result);
    duk_push_string(ctx, name);
    return Left::Failure;
  }
  return PushVariant(ctx, &result) ? Left::Value : Left::TypeFailure;
}

duk_ret_t CallMethod(duk_context* ctx) {
  const duk_idx_t argc = duk_get_top(ctx);
  duk_push_current_function(ctx);
  duk_get_prop_string(ctx, -1, DUK_HIDDEN_SYMBOL("target"));
  IDispatch* dispatch = DispatchOf(ctx, -1);
  duk_get_prop_string(ctx, -2, DUK_HIDDEN_SYMBOL("id"));
  const DISPID id = duk_get_int(ctx, -1);
  duk_get_prop_string(ctx, -3, DUK_HIDDEN_SYMBOL("name"));
  const char* name = duk_get_string(ctx, -1);  // stays on the stack while it is used
  if (dispatch == nullptr) return duk_error(ctx, DUK_ERR_ERROR, "%s: the object is gone", name);
  HRESULT hr = S_OK;
  switch (InvokeMember(ctx, dispatch, id, DISPATCH_METHOD, argc, name, &hr)) {
    case Left::Failure:
      ThrowHresult(ctx, hr);
    case Left::TypeFailure:
      ThrowTypeError(ctx);
    default:
      return 1;
  }
}

// The get trap's work (target and key at 0 and 1): a property's value, or for a method a
// function that calls it. A read is tried first: IDispatch answers DISP_E_MEMBERNOTFOUND for
// a method read as a property, without running it.
Left GetMember(duk_context* ctx, HRESULT* hr) {
  if (!duk_is_string(ctx, 1) || duk_is_symbol(ctx, 1)) return Left::Nothing;
  const char* name = duk_get_string(ctx, 1);
  IDispatch* dispatch = DispatchOf(ctx, 0);
  if (dispatch == nullptr) {
    *hr = E_UNEXPECTED;
    duk_push_sprintf(ctx, "%s of an object that is gone", name);
    return Left::Failure;
  }
  duk_size_t length = 0;
  const char* text = duk_get_lstring(ctx, 1, &length);
  std::u16string wide = FromScriptString(text, length);
  OLECHAR* names[] = {wide.data()};
  DISPID id = DISPID_UNKNOWN;
  *hr = dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
  if (Failed(*hr)) {
    // What the engine itself asks for when converting the object to a text or number.
    for (const char* own : {"toString", "valueOf", "toJSON"})
      if (std::strcmp(name, own) == 0) return Left::Nothing;
    duk_push_string(ctx, name);
    return Left::Failure;
  }
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  *hr = dispatch->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
  if (Succeeded(*hr)) return PushVariant(ctx, &result) ? Left::Value : Left::TypeFailure;
  if (*hr != DISP_E_MEMBERNOTFOUND) {
    duk_push_string(ctx, name);
    return Left::Failure;
  }
  duk_push_c_function(ctx, CallMethod, DUK_VARARGS);
  duk_dup(ctx, 0);
  duk_put_prop_string(ctx, -2, DUK_HIDDEN_SYMBOL("target"));
  duk_push_int(ctx, id);
  duk_put_prop_string(ctx, -2, DUK_HIDDEN_SYMBOL("id"));
  duk_push_string(ctx, name);
  duk_put_prop_string(ctx, -2, DUK_HIDDEN_SYMBOL("name"));
  return Left::Value;
}

duk_ret_t GetTrap(duk_context* ctx) {
  HRESULT hr = S_OK;
  switch (GetMember(ctx, &hr)) {
    case Left::Value:
      return 1;
    case Left::Failure:
      ThrowHresult(ctx, hr);
    case Left::TypeFailure:
      ThrowTypeError(ctx);
    default:
      return 0;
  }
}

duk_ret_t SetTrap(duk_context* ctx) {
  duk_push_sprintf(ctx, "setting %s", duk_is_string(ctx, 1) ? duk_get_string(ctx, 1) : "?");
  ThrowHresult(ctx, DISP_E_MEMBERNOTFOUND);
}

// Takes over the caller's reference.
void PushDispatch(duk_context* ctx, IDispatch* dispatch) {
  duk_push_object(ctx);  // target
  duk_push_pointer(ctx, dispatch);
  duk_put_prop_string(ctx, -2, DUK_HIDDEN_SYMBOL("dispatch"));
  duk_push_c_function(ctx, FinalizeTarget, 1);
  duk_set_finalizer(ctx, -2);
  duk_push_object(ctx);  // handler
  duk_push_c_function(ctx, GetTrap, 3);
  duk_put_prop_string(ctx, -2, "get");
  duk_push_c_function(ctx, SetTrap, 4);
  duk_put_prop_string(ctx, -2, "set");
  duk_push_proxy(ctx, 0);
}

// Leaves the new object, or *hr and a description.
Left CreateObject(duk_context* ctx, const char* progId, HRESULT* hr) {
  IDispatch* dispatch = nullptr;
  std::string detail;
  *hr = qorx::script::CreateObjectFromProgId(progId, &dispatch, &detail);
  if (Failed(*hr)) {
    duk_push_sprintf(ctx, "new ActiveXObject(\"%s\"): %s", progId, detail.c_str());
    return Left::Failure;
  }
  PushDispatch(ctx, dispatch);
  return Left::Value;
}

duk_ret_t ActiveXObject(duk_context* ctx) {
  if (!duk_is_constructor_call(ctx))
    return duk_error(ctx, DUK_ERR_TYPE_ERROR, "ActiveXObject must be called with new");
  const char* progId = duk_require_string(ctx, 0);
  HRESULT hr = S_OK;
  // A constructor returning an object replaces the default instance.
  if (CreateObject(ctx, progId, &hr) != Left::Value) ThrowHresult(ctx, hr);
  return 1;
}

// ---- WScript ----

duk_ret_t Echo(duk_context* ctx) {
  std::string line;
  const duk_idx_t argc = duk_get_top(ctx);
  for (duk_idx_t i = 0; i < argc; ++i) {
    if (i > 0) line.push_back(' ');
    line += ScriptStringToUtf8(ctx, i);
  }
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
  return 0;
}

duk_ret_t Quit(duk_context* ctx) {
  g_quit = true;
  g_quitCode = duk_get_int_default(ctx, 0, 0);
  return duk_error(ctx, DUK_ERR_ERROR, "WScript.Quit");
}

duk_ret_t Sleep(duk_context* ctx) {
  const double ms = duk_require_number(ctx, 0);
  if (ms > 0) usleep(static_cast<useconds_t>(ms > 600000 ? 600000000 : ms * 1000));
  return 0;
}

duk_ret_t Argument(duk_context* ctx) {
  const duk_int_t index = duk_require_int(ctx, 0);
  if (index < 0 || static_cast<size_t>(index) >= g_arguments.size())
    return duk_error(ctx, DUK_ERR_RANGE_ERROR, "no argument %d", static_cast<int>(index));
  duk_push_string(ctx, g_arguments[static_cast<size_t>(index)].c_str());
  return 1;
}

duk_ret_t ArgumentCount(duk_context* ctx) {
  duk_push_uint(ctx, static_cast<duk_uint_t>(g_arguments.size()));
  return 1;
}

void DefineGlobals(duk_context* ctx, const std::string& scriptName) {
  duk_push_c_function(ctx, ActiveXObject, 1);
  duk_put_global_string(ctx, "ActiveXObject");

  duk_push_object(ctx);  // WScript
  duk_push_c_function(ctx, Echo, DUK_VARARGS);
  duk_put_prop_string(ctx, -2, "Echo");
  duk_push_c_function(ctx, Quit, 1);
  duk_put_prop_string(ctx, -2, "Quit");
  duk_push_c_function(ctx, Sleep, 1);
  duk_put_prop_string(ctx, -2, "Sleep");
  duk_push_string(ctx, scriptName.c_str());
  duk_put_prop_string(ctx, -2, "ScriptFullName");
  duk_push_c_function(ctx, Argument, 1);  // WScript.Arguments(i), .Item(i), .length, .Count()
  duk_push_c_function(ctx, Argument, 1);
  duk_put_prop_string(ctx, -2, "Item");
  duk_push_c_function(ctx, ArgumentCount, 0);
  duk_put_prop_string(ctx, -2, "Count");
  duk_push_string(ctx, "length");
  duk_push_uint(ctx, static_cast<duk_uint_t>(g_arguments.size()));
  duk_def_prop(ctx, -3, DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_FORCE);
  duk_put_prop_string(ctx, -2, "Arguments");
  duk_put_global_string(ctx, "WScript");
}

void Fatal(void* /*udata*/, const char* message) {
  std::fprintf(stderr, "qorx-script: fatal: %s\n", message != nullptr ? message : "?");
  std::fflush(stderr);
  std::abort();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
    std::fprintf(stderr, "usage: qorx-script SCRIPT.js [ARGUMENT...]\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "qorx-script: cannot open %s: %s\n", argv[1], std::strerror(errno));
    return 2;
  }
  std::ostringstream source;
  source << in.rdbuf();
  for (int i = 2; i < argc; ++i) g_arguments.emplace_back(argv[i]);

  duk_context* ctx = duk_create_heap(nullptr, nullptr, nullptr, nullptr, Fatal);
  if (ctx == nullptr) return 1;
  DefineGlobals(ctx, argv[1]);
  const std::string code = source.str();
  duk_push_string(ctx, argv[1]);
  int status = 0;
  if (duk_pcompile_lstring_filename(ctx, 0, code.data(), code.size()) != 0 ||
      duk_pcall(ctx, 0) != DUK_EXEC_SUCCESS) {
    if (g_quit) {
      status = g_quitCode;
    } else {
      // The stack trace when there is one, with the HRESULT the error carries.
      std::string message;
      if (duk_is_error(ctx, -1)) {
        duk_get_prop_string(ctx, -1, "stack");
        message = ScriptStringToUtf8(ctx, -1);
        duk_pop(ctx);
      } else {
        message = ScriptStringToUtf8(ctx, -1);
      }
      std::fprintf(stderr, "qorx-script: %s: %s\n", argv[1], message.c_str());
      status = 1;
    }
  } else if (g_quit) {
    status = g_quitCode;
  }
  duk_pop(ctx);
  // Destroying the heap runs the finalizers: every control is released before the exit.
  duk_destroy_heap(ctx);
  return status;
}
