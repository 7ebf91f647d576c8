#pragma once

#include <cstdint>
#include <string>

#include "tools/cardsim/CardConfig.h"

namespace qorx::cardsim {

// How the simulator process runs; fixed at start.
struct SimOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 35963;   // "Virtual PCD 00 00"; 35964 is "Virtual PCD 00 01"
  std::string control;     // Unix socket for control commands; empty = none
  std::string log;         // per-command log: a file, "-" for stderr; empty = none
  bool readStdin = false;  // take control commands from stdin too
  bool startRemoved = false;
  unsigned long removeAfter = 0;  // take the card out after this many commands; 0 = never
  std::string send;               // client mode: send this command to `control`, print the reply
  CardConfig card;
};

// One card option, as it comes from the command line (--name value), a script file line
// (name value) or the control socket (name value). `hasValue` tells "--mute" from
// "--mute=off". False with a message for an unknown name or a bad value.
bool ApplyCardOption(CardConfig& config, const std::string& name, const std::string& value,
                     bool hasValue, std::string* error);

// A process option or a card option.
bool ApplyOption(SimOptions& options, const std::string& name, const std::string& value,
                 bool hasValue, std::string* error);

// Script file: one option per line, "name value"; blank lines and lines starting with '#'
// are skipped.
bool LoadScript(const std::string& path, SimOptions& options, std::string* error);

bool ParseCommandLine(int argc, char** argv, SimOptions& options, std::string* error);

// The count of --remove-after and its control command: 1 to 100000, or "off" (0).
bool ParseRemoveAfter(const std::string& value, unsigned long* out);

const char* Usage();

}  // namespace qorx::cardsim
