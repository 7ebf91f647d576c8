#include "tools/cardsim/Options.h"

#include <fstream>

namespace qorx::cardsim {

namespace {

enum class Arity { kNone, kFlag, kValue };

struct OptionInfo {
  const char* name;
  Arity arity;
};

// kFlag: optional on/off value; kValue: a value is required.
const OptionInfo kOptions[] = {
    {"host", Arity::kValue},
    {"port", Arity::kValue},
    {"reader", Arity::kValue},
    {"control", Arity::kValue},
    {"log", Arity::kValue},
    {"script", Arity::kValue},
    {"send", Arity::kValue},
    {"stdin", Arity::kFlag},
    {"removed", Arity::kFlag},
    {"t0", Arity::kNone},
    {"t1", Arity::kNone},
    {"atr", Arity::kValue},
    {"mute", Arity::kFlag},
    {"select-fail", Arity::kFlag},
    {"select-warning", Arity::kFlag},
    {"version", Arity::kValue},
    {"app-status", Arity::kValue},
    {"bank-fci", Arity::kValue},
    {"app", Arity::kValue},
    {"respond", Arity::kValue},
    {"chunk", Arity::kValue},
    {"log-controls", Arity::kFlag},
    {"profile", Arity::kValue},
    {"certificate", Arity::kValue},
    {"pin", Arity::kValue},
    {"tries", Arity::kValue},
    {"challenge-zero", Arity::kFlag},
    {"remove-after", Arity::kValue},
};

const OptionInfo* FindOption(const std::string& name) {
  for (const OptionInfo& info : kOptions) {
    if (name == info.name) return &info;
  }
  return nullptr;
}

std::string Trim(const std::string& s) {
  const char* blanks = " \t\r\n";
  size_t b = s.find_first_not_of(blanks);
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

bool ParseFlag(const std::string& value, bool hasValue, bool* out) {
  if (!hasValue || value == "on" || value == "1" || value == "yes") {
    *out = true;
  } else if (value == "off" || value == "0" || value == "no") {
    *out = false;
  } else {
    return false;
  }
  return true;
}

bool ParseNumber(const std::string& value, unsigned long low, unsigned long high,
                 unsigned long* out) {
  if (value.empty() || value.size() > 9) return false;
  unsigned long n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<unsigned long>(c - '0');
  }
  if (n < low || n > high) return false;
  *out = n;
  return true;
}

// "A:B" with both halves hex.
bool ParsePair(const std::string& value, Bytes* first, Bytes* second) {
  size_t colon = value.find(':');
  if (colon == std::string::npos) return false;
  return ParseHex(value.substr(0, colon), first) && ParseHex(value.substr(colon + 1), second);
}

}  // namespace

bool ParseRemoveAfter(const std::string& value, unsigned long* out) {
  if (value == "off") {
    *out = 0;
    return true;
  }
  return ParseNumber(value, 1, 100000, out);
}

namespace {

bool Fail(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

}  // namespace

bool ApplyCardOption(CardConfig& config, const std::string& name, const std::string& value,
                     bool hasValue, std::string* error) {
  const OptionInfo* info = FindOption(name);
  if (info == nullptr) return Fail(error, "unknown option '" + name + "'");
  if (info->arity == Arity::kValue && !hasValue) return Fail(error, name + " needs a value");
  if (info->arity == Arity::kNone && hasValue) return Fail(error, name + " takes no value");
  const std::string bad = "bad value for " + name + ": '" + value + "'";
  Bytes bytes;
  if (name == "t0" || name == "t1") {
    config.protocol = name == "t0" ? Protocol::kT0 : Protocol::kT1;
  } else if (name == "atr") {
    if (value == "default") {
      config.atr.reset();
    } else {
      if (!ParseHex(value, &bytes) || bytes.size() < 2 || bytes.size() > 33)
        return Fail(error, bad);
      config.atr = bytes;
    }
  } else if (name == "mute") {
    if (!ParseFlag(value, hasValue, &config.mute)) return Fail(error, bad);
  } else if (name == "select-fail") {
    if (!ParseFlag(value, hasValue, &config.selectFail)) return Fail(error, bad);
  } else if (name == "select-warning") {
    if (!ParseFlag(value, hasValue, &config.selectWarning)) return Fail(error, bad);
  } else if (name == "log-controls") {
    if (!ParseFlag(value, hasValue, &config.logControls)) return Fail(error, bad);
  } else if (name == "version") {
    if (value == "none") {
      config.version.reset();
    } else {
      if (!ParseHex(value, &bytes) || bytes.size() > 127) return Fail(error, bad);
      config.version = bytes;
    }
  } else if (name == "app-status") {
    if (value == "none") {
      config.appStatus.reset();
    } else {
      if (!ParseHex(value, &bytes) || bytes.size() != 1) return Fail(error, bad);
      config.appStatus = bytes[0];
    }
  } else if (name == "bank-fci") {
    if (value == "default") {
      config.bankFci.reset();
    } else {
      if (!ParseHex(value, &bytes) || bytes.size() > 256) return Fail(error, bad);
      config.bankFci = bytes;
    }
  } else if (name == "app") {
    Application app;
    if (value == "none") {
      config.apps.clear();
    } else {
      if (!ParsePair(value, &app.aid, &app.fci) || app.aid.empty() || app.aid.size() > 16 ||
          app.fci.size() > 256) {
        return Fail(error, bad);
      }
      config.apps.push_back(app);
    }
  } else if (name == "respond") {
    CannedResponse canned;
    if (value == "none") {
      config.canned.clear();
    } else {
      if (!ParsePair(value, &canned.prefix, &canned.response) || canned.response.size() < 2 ||
          canned.response.size() > 258) {
        return Fail(error, bad);
      }
      config.canned.push_back(canned);
    }
  } else if (name == "chunk") {
    unsigned long n;
    if (!ParseNumber(value, 1, 256, &n)) return Fail(error, bad);
    config.chunk = n;
  } else if (name == "profile") {
    std::string why;
    std::shared_ptr<const CardProfile> profile = CardProfile::Load(value, &why);
    if (!profile) return Fail(error, "cannot use profile '" + value + "': " + why);
    config.profile = std::move(profile);
  } else if (name == "certificate") {
    if (value == "off") {
      config.certificate.reset();
    } else {
      // The read command addresses the file's 64 KiB; its first two bytes are the header.
      if (!ParseHex(value, &bytes) || bytes.size() > 0xFFFF - 2) return Fail(error, bad);
      config.certificate = bytes;
    }
  } else if (name == "pin") {
    // What the card's PIN block can carry, and text a control line can hold.
    if (value.empty() || value.size() > 15 || value.find_first_of(" \t") != std::string::npos) {
      return Fail(error, bad);
    }
    config.pin = value;
  } else if (name == "tries") {
    unsigned long n;
    if (!ParseNumber(value, 0, 15, &n)) return Fail(error, bad);  // 63Cx has one digit
    config.tries = static_cast<unsigned>(n);
  } else if (name == "challenge-zero") {
    if (!ParseFlag(value, hasValue, &config.challengeZero)) return Fail(error, bad);
  } else {
    return Fail(error, name + " cannot be changed while running");
  }
  return true;
}

bool ApplyOption(SimOptions& options, const std::string& name, const std::string& value,
                 bool hasValue, std::string* error) {
  const OptionInfo* info = FindOption(name);
  if (info == nullptr) return Fail(error, "unknown option '" + name + "'");
  if (info->arity == Arity::kValue && !hasValue) return Fail(error, name + " needs a value");
  const std::string bad = "bad value for " + name + ": '" + value + "'";
  unsigned long n;
  if (name == "host") {
    options.host = value;
  } else if (name == "port") {
    if (!ParseNumber(value, 1, 65535, &n)) return Fail(error, bad);
    options.port = static_cast<uint16_t>(n);
  } else if (name == "reader") {
    if (!ParseNumber(value, 0, 1, &n)) return Fail(error, bad);
    options.port = static_cast<uint16_t>(35963 + n);
  } else if (name == "control") {
    options.control = value;
  } else if (name == "log") {
    options.log = value;
  } else if (name == "script") {
    return LoadScript(value, options, error);
  } else if (name == "send") {
    options.send = value;
  } else if (name == "stdin") {
    if (!ParseFlag(value, hasValue, &options.readStdin)) return Fail(error, bad);
  } else if (name == "removed") {
    if (!ParseFlag(value, hasValue, &options.startRemoved)) return Fail(error, bad);
  } else if (name == "remove-after") {
    if (!ParseRemoveAfter(value, &options.removeAfter)) return Fail(error, bad);
  } else {
    return ApplyCardOption(options.card, name, value, hasValue, error);
  }
  return true;
}

bool LoadScript(const std::string& path, SimOptions& options, std::string* error) {
  std::ifstream in(path);
  if (!in) return Fail(error, "cannot read script " + path);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    size_t space = line.find_first_of(" \t");
    std::string name = line.substr(0, space);
    std::string value = space == std::string::npos ? "" : Trim(line.substr(space));
    if (name == "script" || name == "send") {
      return Fail(error, path + ":" + std::to_string(number) + ": " + name + " not allowed here");
    }
    if (!ApplyOption(options, name, value, !value.empty(), error)) {
      *error = path + ":" + std::to_string(number) + ": " + *error;
      return false;
    }
  }
  return true;
}

bool ParseCommandLine(int argc, char** argv, SimOptions& options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
      return Fail(error, "unexpected argument '" + arg + "'");
    }
    arg.erase(0, 2);
    std::string name = arg, value;
    bool hasValue = false;
    size_t eq = arg.find('=');
    if (eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      hasValue = true;
    }
    const OptionInfo* info = FindOption(name);
    if (info == nullptr) return Fail(error, "unknown option '--" + name + "'");
    if (!hasValue && info->arity == Arity::kValue) {
      if (i + 1 >= argc) return Fail(error, "--" + name + " needs a value");
      value = argv[++i];
      hasValue = true;
    }
    if (!ApplyOption(options, name, value, hasValue, error)) return false;
  }
  return true;
}

const char* Usage() {
  return R"(usage: qorx-cardsim [options]
A simulated smart card behind the vpcd virtual reader of pcscd.

Process:
  --host HOST          reader driver host (127.0.0.1)
  --port N             reader driver port (35963 = "Virtual PCD 00 00")
  --reader 0|1         shorthand for port 35963 / 35964
  --control PATH       Unix socket taking control commands (below)
  --send CMD           with --control: send CMD to a running simulator, print the reply
  --stdin              also take control commands from stdin
  --log FILE           log every command and response ("-" = stderr)
  --removed            start with the card out of the reader
  --remove-after N|off take the card out once it has answered N more commands (a command
                       interrupted by the card leaving); also a control command
  --script FILE        read options from FILE, one "name value" per line

Card (also accepted as control commands, "name value"):
  --t0 | --t1          transmission protocol (default T=1); sets the default ATR
  --atr HEX|default    ATR to answer with
  --mute[=off]         answer an ATR no reader accepts: pcscd reports the card mute
  --select-fail[=off]  SELECT of a known application answers 6A82
  --select-warning[=off]  SELECT answers the FCI with 6283
  --version HEX|none   tag 9F08 of the bank FCI (0102)
  --app-status HEX|none  last byte of the GET_FCI answer (01); none = 9000 without data
  --bank-fci HEX|default  replace the bank FCI
  --app AID:FCI|none   another application answered to SELECT
  --respond PREFIX:RESPONSE|none  commands starting with PREFIX get RESPONSE (data + SW)
  --chunk N            T=0: most bytes announced per 61xx (256)
  --log-controls[=off] also log power, reset and ATR requests

Bank application (the card profile holds the certificate and the card's private key):
  --profile NAME|PATH  card profile: PATH.der (certificate) and PATH.key (private key, PEM);
                       a bare NAME is looked up in $QORX_CARDSIM_PROFILES, else in
                       ../share/qorx-cardsim/cards beside the program once installed,
                       else in )" QORX_CARDSIM_PROFILE_DIR R"( (default: "default")
  --certificate HEX|off  serve these bytes as the certificate instead of the profile's
  --pin TEXT           starting PIN, 1 to 15 characters (1234)
  --tries N            starting and highest PIN try counter, 0 to 15 (3)
  --challenge-zero[=off]  byte 3 of every GET CHALLENGE answer is 00
The PIN and the try counter are the card's: SELECT, reset and removal keep them; setting
pin or tries (and defaults) puts them back to the configured values. Commands:
  90 0C P1 P2 Le   read the certificate file (two header bytes, then the DER) at P1 P2;
                   6B00 at or past its end
  00 84 00 00 08   GET CHALLENGE: 8 random bytes, good for one VERIFY or CHANGE PIN
  00 20 00 08      VERIFY, 128-byte block enciphered with the card's public key:
                   00 02 challenge (00 as FF) FF.. 00 PIN; 63Cx wrong PIN, 6983 blocked,
                   6A80 stale challenge or bad block (no try lost)
  80 24 02 08      CHANGE PIN, same block with the new PIN; 6982 unless verified
  80 CA 9F 17      GET DATA: 9F17 01 <tries left>; other tags 6A88
  00 88 00 00      INTERNAL AUTHENTICATE: PKCS #1 v1.5 signature of the data; 6982 unless
                   verified
  80 50 kv 00      INITIALIZE UPDATE: 28 bytes (diversification data, key information,
                   sequence counter, card challenge, cryptogram); opens a script session
  84 xx            issuer script commands: logged, 9000 in a script session, else 6985
All need the bank application selected (6985). SELECT, reset and power loss end the
verification, the challenge and the script session. --respond answers come first: they
make any of these commands (a script command, say) fail as a test wants.

Control commands: insert, remove, remove-after N|off, status (also tries= verified=
profile=), count [INS], reset-counts, defaults (back to the start options, PIN and try
counter included, remove-after too), quit, and every card option above.
)";
}

}  // namespace qorx::cardsim
