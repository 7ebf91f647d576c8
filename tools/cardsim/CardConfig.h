#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/cardsim/Bytes.h"
#include "tools/cardsim/CardProfile.h"

namespace qorx::cardsim {

enum class Protocol { kT0, kT1 };

// An application other than the bank's, answered to SELECT with a fixed FCI.
struct Application {
  Bytes aid;
  Bytes fci;
};

// A scripted answer: a command whose bytes start with `prefix` gets `response` (data and
// status word) instead of going to the handler table.
struct CannedResponse {
  Bytes prefix;
  Bytes response;
};

// Everything a test may vary about the card. Set from command-line flags, a script file or
// the control socket through ApplyOption (Options.h).
struct CardConfig {
  Protocol protocol = Protocol::kT1;
  std::optional<Bytes> atr;    // replaces the protocol's default ATR
  bool mute = false;           // the reader gets an ATR it cannot take, so power-up fails
  bool selectFail = false;     // SELECT of a known application answers 6A82
  bool selectWarning = false;  // ... or 6283 with the FCI
  std::optional<Bytes> version = Bytes{0x01, 0x02};  // tag 9F08 in the bank FCI; none = left out
  std::optional<uint8_t> appStatus = 0x01;           // last byte of GET_FCI; none = no data
  std::optional<Bytes> bankFci;                      // replaces the FCI built from the above
  std::vector<Application> apps;
  std::vector<CannedResponse> canned;
  size_t chunk = 256;        // most bytes a T=0 61xx announces (1..256)
  bool logControls = false;  // also log power, reset and ATR requests

  // The bank application's card data. The card keeps its own PIN and try counter from these
  // (Card::RestorePin, Card::RestoreTries) and changes them as a real card would.
  std::shared_ptr<const CardProfile> profile;  // null: the "default" profile
  std::optional<Bytes> certificate;            // served instead of the profile's certificate
  std::string pin = "1234";                    // starting PIN
  unsigned tries = 3;                          // starting and highest PIN try counter
  bool challengeZero = false;                  // byte 3 of every challenge is 00

  // The ATR this card answers with.
  Bytes Atr() const;
};

// T=1: 3B 88 01 <8 history bytes> TCK. T=0: 3B 08 <8 history bytes> (T=0 needs no TCK).
Bytes DefaultAtr(Protocol protocol);

}  // namespace qorx::cardsim
