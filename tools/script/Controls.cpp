#include "tools/script/Controls.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/script/ComClient.h"
#include "tools/script/Values.h"

namespace qorx::script {

using namespace qorx::com;

namespace {

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
  BSTR wide = ScriptStringToBstr(ctx, 1);
  if (wide == nullptr) {
    *hr = E_OUTOFMEMORY;
    duk_push_string(ctx, name);
    return Left::Failure;
  }
  DISPID id = DISPID_UNKNOWN;
  *hr = dispatch->GetIDsOfNames(IID_NULL, &wide, 1, 0, &id);
  SysFreeString(wide);
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

}  // namespace

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

namespace {

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

}  // namespace

duk_ret_t ActiveXObject(duk_context* ctx) {
  if (!duk_is_constructor_call(ctx))
    return duk_error(ctx, DUK_ERR_TYPE_ERROR, "ActiveXObject must be called with new");
  const char* progId = duk_require_string(ctx, 0);
  HRESULT hr = S_OK;
  // A constructor returning an object replaces the default instance.
  if (CreateObject(ctx, progId, &hr) != Left::Value) ThrowHresult(ctx, hr);
  return 1;
}

}  // namespace qorx::script
