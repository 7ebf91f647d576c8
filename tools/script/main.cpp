// qorx-script: runs a page script written for a browser's JScript engine against the controls
// registered in the file-backed registry.
//
//   qorx-script SCRIPT.js [ARGUMENT...]
//
// The script finds the globals of Host.h. The exit status is 0 when the script ran to its end,
// the Quit code, or 1 after an uncaught error.

#include <duktape.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/script/Host.h"
#include "tools/script/Values.h"

using namespace qorx::script;

namespace {

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

  duk_context* ctx = duk_create_heap(nullptr, nullptr, nullptr, nullptr, Fatal);
  if (ctx == nullptr) return 1;
  DefineGlobals(ctx, argv[1], std::vector<std::string>(argv + 2, argv + argc));
  const std::string code = source.str();
  duk_push_string(ctx, argv[1]);
  int status = 0;
  int quitCode = 0;
  if (duk_pcompile_lstring_filename(ctx, 0, code.data(), code.size()) != 0 ||
      duk_pcall(ctx, 0) != DUK_EXEC_SUCCESS) {
    if (QuitRequested(&quitCode)) {
      status = quitCode;
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
  } else if (QuitRequested(&quitCode)) {
    status = quitCode;
  }
  duk_pop(ctx);
  // Destroying the heap runs the finalizers: every control is released before the exit.
  duk_destroy_heap(ctx);
  return status;
}
