#include "tools/script/Host.h"

#include <unistd.h>

#include <cstdio>
#include <utility>

#include "tools/script/Controls.h"
#include "tools/script/Values.h"

namespace qorx::script {

namespace {

std::vector<std::string> g_arguments;
bool g_quit = false;
int g_quitCode = 0;

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

}  // namespace

void DefineGlobals(duk_context* ctx, const std::string& scriptName,
                   std::vector<std::string> arguments) {
  g_arguments = std::move(arguments);
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

bool QuitRequested(int* code) {
  *code = g_quitCode;
  return g_quit;
}

}  // namespace qorx::script
