#pragma once

// The globals a page script finds, as Windows Script Host gives them: ActiveXObject, and a
// WScript object whose Echo(values...) prints one line, Arguments(i) / Arguments.length give
// the arguments after the script, Sleep(ms) waits and Quit(code) ends the run.

#include <duktape.h>

#include <string>
#include <vector>

namespace qorx::script {

void DefineGlobals(duk_context* ctx, const std::string& scriptName,
                   std::vector<std::string> arguments);
// Whether the script ended through WScript.Quit, and with which code.
bool QuitRequested(int* code);

}  // namespace qorx::script
