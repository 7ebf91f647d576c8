#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "tools/cardsim/Apdu.h"
#include "tools/cardsim/CardConfig.h"

namespace qorx::cardsim {

class Card;

// Answers one command. Handlers see the command as it would reach an ISO 7816-4 card
// (T=0 details are taken care of by the card) and may read the configuration and change the
// session state (the selected application, and whatever later handlers keep).
using Handler = std::function<ResponseApdu(const CommandApdu&, Card&)>;

// Handlers keyed by class and instruction byte. Adding a card command means adding a row.
class CommandTable {
 public:
  void Set(uint8_t cla, uint8_t ins, Handler handler);
  // Answers every instruction of the class that has no row of its own.
  void SetClass(uint8_t cla, Handler handler);
  const Handler* Find(uint8_t cla, uint8_t ins) const;
  bool KnowsClass(uint8_t cla) const;

 private:
  std::map<uint16_t, Handler> handlers_;
  std::map<uint8_t, Handler> classHandlers_;
};

// The bank application's data on the card: it outlives SELECT, reset and removal.
struct BankCardData {
  std::string pin;
  unsigned triesLeft = 0;
  uint16_t sequenceCounter = 0;  // of INITIALIZE UPDATE
};

// What the bank application forgets at every SELECT, reset and power loss.
struct BankSession {
  std::optional<std::array<uint8_t, 8>> challenge;  // good for one VERIFY or CHANGE PIN
  bool verified = false;
  bool scriptSession = false;  // INITIALIZE UPDATE opened it
};

// The simulated card behind the reader driver: power and ATR, the T=0 transmission rules
// (61xx with GET RESPONSE, 6Cxx for a wrong Le), scripted answers, then the command table.
class Card {
 public:
  using LogSink = std::function<void(const std::string&)>;

  explicit Card(CardConfig config);

  CardConfig& Config() { return config_; }
  const CardConfig& Config() const { return config_; }
  CommandTable& Commands() { return commands_; }

  // One message from the reader: a 1-byte control (0 power off, 1 power on, 2 reset, 4 ATR)
  // or a command APDU. Returns the payload to answer with, or nothing when none is due.
  std::optional<Bytes> OnReaderMessage(const Bytes& message);
  // The card went into or out of the reader: unpowered, nothing selected.
  void ResetToUnpowered();

  // Session state, lost at every power-up and reset.
  const Bytes& Selected() const { return selected_; }
  void Select(const Bytes& aid) { selected_ = aid; }
  BankSession& Session() { return session_; }

  BankCardData& Data() { return data_; }
  const BankCardData& Data() const { return data_; }
  // Card data back to the configured starting values.
  void RestorePin();
  void RestoreTries();
  void RestoreCardData();

  // The configured profile, else the default one; null (with the reason logged) when it
  // cannot be read.
  const CardProfile* Profile();
  // The certificate file: two header bytes, then the certificate DER.
  Bytes CertificateFile();

  // A line for the simulator's log.
  void Note(const std::string& line) const { Log(line); }

  uint64_t CommandCount() const { return commandCount_; }
  uint64_t CommandCount(uint8_t ins) const;
  uint64_t PowerUps() const { return powerUps_; }
  // Clears the command counts (power-ups keep counting).
  void ResetCounts();

  void SetLog(LogSink sink) { log_ = std::move(sink); }
  bool Powered() const { return powered_; }

 private:
  ResponseApdu Transmit(const Bytes& command);
  ResponseApdu TransmitT0(const CommandApdu& command);
  ResponseApdu GetResponse(const CommandApdu& command);
  ResponseApdu Execute(const CommandApdu& command);
  void ResetSession();
  void Log(const std::string& line) const;

  CardConfig config_;
  CommandTable commands_;
  bool powered_ = false;
  Bytes selected_;
  BankSession session_;
  BankCardData data_;
  std::shared_ptr<const CardProfile> defaultProfile_;
  // T=0: response data (and final status word) waiting for GET RESPONSE.
  std::optional<ResponseApdu> pending_;
  size_t pendingOffset_ = 0;
  uint64_t commandCount_ = 0;
  uint64_t powerUps_ = 0;
  std::map<uint8_t, uint64_t> perInstruction_;
  LogSink log_;
};

}  // namespace qorx::cardsim
