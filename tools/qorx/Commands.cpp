#include "tools/qorx/Commands.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <vector>

#include "bindings/Operations.h"
#include "core/Exceptions.h"
#include "core/StatusCodes.h"
#include "tools/qorx/CommandSupport.h"
#include "tools/qorx/StatusNames.h"

namespace qorx::cli {

namespace {

// A command's body. Returns the exit code (0, or kExitScriptStopped); failures raise.
using Body = int (*)(Context&, const Options&, Result&);

struct Command {
  const char* name;
  const char* usage;
  const char* help;
  std::vector<const char*> options;
  Body body;
};

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"readers", "qorx readers [--json]", "List the PC/SC readers.", {"json"}, Readers},
      {"status",
       "qorx status [--reader NAME] [--json]",
       "The card in the reader: state, ATR, application version and status byte, PIN tries left.",
       {"reader", "json"},
       Status},
      {"certificate",
       "qorx certificate [--reader NAME] [--format summary|hex|pem|der | --pem | --der] "
       "[--out FILE] [--json]",
       "The card's certificate: a summary (subject, issuer, validity, PAN), or the certificate "
       "itself in hexadecimal, PEM or DER, on standard output or into --out FILE.",
       {"reader", "json", "format", "pem", "der", "out"},
       Certificate},
      {"authenticate",
       "qorx authenticate [--reader NAME] [--date YYYY/MM/DD] [--json]",
       "Authenticate the card by its certificate on the date given (today by default); prints "
       "the PAN and PAN sequence.",
       {"reader", "json", "date"},
       Authenticate},
      {"verify",
       "qorx verify [--reader NAME] [--date YYYY/MM/DD] [--pin-fd N] [--json]",
       "Authenticate the card, ask for the PIN (on the terminal without echo, or one line from "
       "descriptor N) and verify it; prints the tries left.",
       {"reader", "json", "date", "pin-fd"},
       Verify},
      {"change-pin",
       "qorx change-pin [--reader NAME] [--date YYYY/MM/DD] [--pin-fd N] [--json]",
       "Authenticate the card and change its PIN: asks for the current PIN and the new one "
       "(twice on a terminal; from descriptor N two lines, current then new).",
       {"reader", "json", "date", "pin-fd"},
       ChangePin},
      {"sign",
       "qorx sign (--text TEXT | --hex HEX | --file FILE) [--reader NAME] [--date YYYY/MM/DD] "
       "[--pin-fd N] [--out FILE] [--json]",
       "Have the card sign the SHA-1 of the data: authenticates the card and asks for the PIN "
       "unless done earlier in the session. --out writes the signature's bytes to FILE.",
       {"reader", "json", "date", "pin-fd", "text", "hex", "file", "out"},
       Sign},
      {"hash",
       "qorx hash (--text TEXT | --hex HEX | --file FILE) [--json]",
       "The SHA-1 digest of the data.",
       {"json", "text", "hex", "file"},
       Hash},
      {"encrypt-password",
       "qorx encrypt-password (--text TEXT | --hex HEX) [--tag N] [--key-version 1|3] [--json]",
       "Encipher a password for the bank under issuer key 3 (or 1); the result's element has "
       "tag N (default 0x80). No card needed.",
       {"json", "text", "hex", "tag", "key-version"},
       EncryptPassword},
      {"secure-channel",
       "qorx secure-channel [--challenge HEX [--key-version N]] [--script HEX | --script-file "
       "FILE] [--reader NAME] [--json]",
       "Start a secure channel with the host's challenge (INITIALIZE UPDATE) and/or run the "
       "host's script (hexadecimal, or a file of it) in it; prints the card's answer and the "
       "script's result.",
       {"reader", "json", "challenge", "key-version", "script", "script-file"},
       SecureChannel},
      {"report",
       "qorx report [--json]",
       "The diagnostic report of this PC's PC/SC installation.",
       {"json"},
       Report},
      {"version",
       "qorx version [--json]",
       "The library version, and whether this build embeds the test CAs and issuer keys.",
       {"json"},
       Version},
  };
  return commands;
}

const Command* FindCommand(const std::string& name) {
  for (const Command& c : Commands())
    if (name == c.name) return &c;
  return nullptr;
}

Failure FailureOf(Context& context, const EAPSException& e) {
  Failure f;
  f.status = e.Code();
  const char* name = ApplicationStatusName(f.status);
  f.name = name ? name : "unknown status";
  if (e.Code() == aps::kFrameworkError && e.Message().Length() > 1) f.detail = e.Message().CStr();
  switch (f.status) {
    case aps::kSecretCodeRejected: {
      f.exitCode = kExitRejected;
      try {
        f.triesLeft = context.Service().GetPinTryCounter();
        f.detail = std::to_string(f.triesLeft) + (f.triesLeft == 1 ? " try left" : " tries left");
      } catch (...) {
        // The count is a courtesy: the status itself is the answer.
      }
      break;
    }
    case aps::kSecretCodeBlocked:
      f.exitCode = kExitBlocked;
      break;
    case aps::kNoReader:
    case aps::kNoReaderOpen:
    case aps::kNoCard:
      f.exitCode = kExitNoCard;
      break;
    default:
      break;
  }
  return f;
}

Failure FailureOf(const ESDException& e) {
  // Files named on the command line fail as the control reports them.
  if (const int32_t status = ops::FileFailureStatus(e.Code()); status != aps::kSuccess) {
    Failure f;
    f.status = status;
    f.name = ApplicationStatusName(f.status);
    return f;
  }
  Failure f;
  f.status = e.Code();
  const char* name = FrameworkCodeName(e.Code());
  f.name = name ? name : "unknown framework code";
  f.detail = EAPSException(e).Message().CStr();
  return f;
}

bool Allowed(const Command& command, const std::string& option) {
  if (option == "help" || option == "trace") return true;
  for (const char* o : command.options)
    if (option == o) return true;
  return false;
}

}  // namespace

TQorTerminalAppletService& Context::Service() {
  if (!service_) service_ = std::make_unique<TQorTerminalAppletService>();
  return *service_;
}

TQorTerminalAppletService& Context::Card() {
  TQorTerminalAppletService& s = Service();
  if (!open_) {
    s.Open(reader_.empty() ? "DEFAULT" : reader_.c_str());
    open_ = true;
  }
  s.GetCardStatus();
  return s;
}

void PrintHelp() {
  std::printf(
      "usage: qorx COMMAND [OPTIONS]    (qorx COMMAND --help for one command)\n\n"
      "The bank's card through PC/SC: readers, card status, certificate, authentication, PIN,\n"
      "signing, hashing, password encryption, secure channel, diagnostic report.\n\n"
      "commands:\n");
  for (const Command& c : Commands()) std::printf("  %-17s %s\n", c.name, c.help);
  std::printf("  %-17s %s\n\n", "session",
              "Read commands from standard input, one a line, in one card dialogue: the card stays "
              "authenticated and the PIN verified from one command to the next.");
  std::printf(
      "common options:\n"
      "  --reader NAME   the reader to use (default: the first listed)\n"
      "  --json          one JSON object per result, with \"status\" (0 for success)\n"
      "  --pin-fd N      read the PIN from descriptor N, one line per PIN; without it the PIN\n"
      "                  is asked on the terminal without echo. Never on the command line.\n"
      "  --date D        the date for card authentication, YYYY/MM/DD (default: today)\n"
      "  --trace         a line per PC/SC call and APDU on standard error (--trace=FILE:\n"
      "                  appended to FILE; or set QORX_TRACE); PINs and keys as their length\n\n"
      "A failure prints its status number and name on standard error (for example\n"
      "\"1794 secret code rejected, 2 tries left\"), with --json also as a JSON object.\n\n"
      "exit codes:\n"
      "  0  success\n"
      "  1  the operation failed; its status is printed\n"
      "  2  the command line is wrong\n"
      "  3  secret code rejected (1794)\n"
      "  4  secret code blocked (1795)\n"
      "  5  no reader, or no card in it (768, 2562, 2563)\n"
      "  6  the PIN could not be read (no terminal and no --pin-fd, or no line on it)\n"
      "  7  the card refused a command of the host's script\n");
}

int RunCommand(Context& context, const Options& options) noexcept {
  const std::string name = options.command;
  try {
    const Command* command = FindCommand(name);
    if (command == nullptr) throw UsageError("unknown command \"" + name + "\"");
    if (options.help) {
      std::printf("usage: %s\n\n%s\n", command->usage, command->help);
      return kExitSuccess;
    }
    for (const std::string& o : options.given)
      if (!Allowed(*command, o)) throw UsageError("--" + o + " is not an option of " + name);
    Result result(name);
    int code;
    try {
      code = command->body(context, options, result);
    } catch (const EAPSException& e) {
      PrintFailure(stdout, stderr, options.json, name, FailureOf(context, e));
      return FailureOf(context, e).exitCode;
    } catch (const ESDException& e) {
      const Failure f = FailureOf(e);
      PrintFailure(stdout, stderr, options.json, name, f);
      return f.exitCode;
    }
    result.Print(stdout, options.json);
    return code;
  } catch (const UsageError& e) {
    const std::string help = FindCommand(name) ? "qorx " + name + " --help" : "qorx --help";
    std::fprintf(stderr, "qorx %s: %s (%s)\n", name.c_str(), e.what(), help.c_str());
    return kExitUsage;
  } catch (const WriteFailure& e) {
    std::fprintf(stderr, "qorx %s: cannot write %s\n", name.c_str(), e.why.c_str());
    return kExitStatus;
  } catch (const NoSecretCode& e) {
    std::fprintf(stderr, "qorx %s: %s\n", name.c_str(), e.why.c_str());
    return kExitNoPin;
  } catch (...) {
    Failure f;
    f.status = aps::kUnexpected;
    f.name = ApplicationStatusName(f.status);
    PrintFailure(stdout, stderr, options.json, name, f);
    return kExitStatus;
  }
}

int RunSession(const Options& options) noexcept {
  int last = kExitSuccess;
  try {
    Context context(options);
    const bool terminal = isatty(STDIN_FILENO) == 1;
    std::string line;
    for (;;) {
      if (terminal) {
        std::fputs("qorx> ", stdout);
        std::fflush(stdout);
      }
      if (!std::getline(std::cin, line)) break;
      std::vector<std::string> words;
      try {
        words = SplitLine(line);
      } catch (const UsageError& e) {
        std::fprintf(stderr, "qorx session: %s\n", e.what());
        last = kExitUsage;
        continue;
      }
      if (words.empty() || words[0][0] == '#') continue;
      if (words[0] == "quit" || words[0] == "exit") break;
      if (words[0] == "help" && words.size() == 1) {
        PrintHelp();
        continue;
      }
      Options o;
      try {
        o = ParseArguments(words);
        if (o.command == "session") throw UsageError("already in a session");
        if (!o.reader.empty()) throw UsageError("a session keeps its reader; give it to session");
      } catch (const UsageError& e) {
        std::fprintf(stderr, "qorx session: %s\n", e.what());
        last = kExitUsage;
        continue;
      }
      if (options.json) o.json = true;
      if (o.pinFd < 0) o.pinFd = options.pinFd;
      if (o.date.empty()) o.date = options.date;
      // The session's own options count as given only where the command takes them.
      const int code = RunCommand(context, o);
      if (code != kExitSuccess) last = code;
    }
  } catch (...) {
    std::fprintf(stderr, "qorx session: 258 unexpected failure\n");
    return kExitStatus;
  }
  return last;
}

}  // namespace qorx::cli