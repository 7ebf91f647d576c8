// qorx: the bank's card from the command line, over the same card service the front ends use.
#include <openssl/crypto.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/qorx/Args.h"
#include "tools/qorx/Commands.h"
#include "transport/pcsc/PCSCLoader.h"

using namespace qorx::cli;

int main(int argc, char** argv) {
  // Nothing here reads the OpenSSL configuration; parsing it is most of libcrypto's start-up,
  // which every command would pay.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
  std::vector<std::string> words(argv + 1, argv + argc);
  Options options;
  try {
    options = ParseArguments(words);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "qorx: %s (qorx --help)\n", e.what());
    return kExitUsage;
  }
  // Read when PC/SC is first loaded, so before any command runs.
  if (!options.trace.empty()) setenv(qorx::kPCSCTraceVariable, options.trace.c_str(), 1);
  if (options.command.empty() || options.command == "help") {
    PrintHelp();
    return options.command.empty() && !options.help ? kExitUsage : kExitSuccess;
  }
  if (options.command == "session") {
    if (options.help) {
      std::printf(
          "usage: qorx session [--reader NAME] [--pin-fd N] [--date YYYY/MM/DD] [--json] "
          "[--trace]\n\n"
          "Reads commands from standard input, one a line (\"status\", \"sign --text ...\", "
          "\"quit\"),\nin one card dialogue; a prompt when standard input is a terminal. Exits "
          "0 when every\ncommand succeeded, else with the exit code of the last that failed.\n");
      return kExitSuccess;
    }
    for (const std::string& o : options.given)
      if (o != "reader" && o != "pin-fd" && o != "date" && o != "json" && o != "trace") {
        std::fprintf(stderr, "qorx session: --%s is not an option of session\n", o.c_str());
        return kExitUsage;
      }
    return RunSession(options);
  }
  Context context(options);
  return RunCommand(context, options);
}
