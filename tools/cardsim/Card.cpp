#include "tools/cardsim/Card.h"

#include <algorithm>

#include "tools/cardsim/Applets.h"

namespace qorx::cardsim {

namespace {

enum : uint8_t { kPowerOff = 0, kPowerOn = 1, kReset = 2, kGetAtr = 4 };

// Longer than the 33 bytes any reader accepts: the driver fails the power-up, and pcscd
// reports the card present but mute.
const size_t kUnreadableAtrLength = 40;

uint16_t StatusWithCount(uint8_t sw1, size_t count) {
  return static_cast<uint16_t>(sw1 << 8 | (count & 0xFF));  // 256 is written as 00
}

// Most bytes one 61xx may announce: a count byte says 1 to 256, whatever a test configured.
size_t ChunkOf(const CardConfig& config) {
  return std::clamp<size_t>(config.chunk, 1, 256);
}

}  // namespace

void CommandTable::Set(uint8_t cla, uint8_t ins, Handler handler) {
  handlers_[static_cast<uint16_t>(cla << 8 | ins)] = std::move(handler);
}

void CommandTable::SetClass(uint8_t cla, Handler handler) {
  classHandlers_[cla] = std::move(handler);
}

const Handler* CommandTable::Find(uint8_t cla, uint8_t ins) const {
  auto it = handlers_.find(static_cast<uint16_t>(cla << 8 | ins));
  if (it != handlers_.end()) return &it->second;
  auto all = classHandlers_.find(cla);
  return all == classHandlers_.end() ? nullptr : &all->second;
}

bool CommandTable::KnowsClass(uint8_t cla) const {
  auto it = handlers_.lower_bound(static_cast<uint16_t>(cla << 8));
  return (it != handlers_.end() && (it->first >> 8) == cla) || classHandlers_.count(cla) > 0;
}

Card::Card(CardConfig config) : config_(std::move(config)) {
  InstallApplets(commands_);
  RestoreCardData();
}

void Card::RestorePin() {
  data_.pin = config_.pin;
}

void Card::RestoreTries() {
  data_.triesLeft = config_.tries;
}

void Card::RestoreCardData() {
  RestorePin();
  RestoreTries();
  data_.sequenceCounter = 0;
}

const CardProfile* Card::Profile() {
  if (config_.profile) return config_.profile.get();
  if (!defaultProfile_) {
    std::string error;
    defaultProfile_ = CardProfile::Load("default", &error);
    if (!defaultProfile_) Log("# no card profile: " + error);
  }
  return defaultProfile_.get();
}

Bytes Card::CertificateFile() {
  const Bytes* der = nullptr;
  if (config_.certificate) {
    der = &*config_.certificate;
  } else if (const CardProfile* profile = Profile()) {
    der = &profile->Certificate();
  }
  const size_t size = der ? der->size() : 0;
  Bytes file(2 + size);
  file[0] = static_cast<uint8_t>(size >> 8);
  file[1] = static_cast<uint8_t>(size & 0xFF);
  if (der) std::copy(der->begin(), der->end(), file.begin() + 2);
  return file;
}

uint64_t Card::CommandCount(uint8_t ins) const {
  auto it = perInstruction_.find(ins);
  return it == perInstruction_.end() ? 0 : it->second;
}

void Card::ResetCounts() {
  commandCount_ = 0;
  perInstruction_.clear();
}

void Card::ResetToUnpowered() {
  powered_ = false;
  ResetSession();
}

void Card::ResetSession() {
  selected_.clear();
  session_ = BankSession{};
  pending_.reset();
  pendingOffset_ = 0;
}

void Card::Log(const std::string& line) const {
  if (log_) log_(line);
}

std::optional<Bytes> Card::OnReaderMessage(const Bytes& message) {
  if (message.size() == 1) {
    switch (message[0]) {
      case kPowerOff:
        if (config_.logControls) Log("power off");
        powered_ = false;
        ResetSession();
        return std::nullopt;
      case kPowerOn:
      case kReset:
        if (config_.logControls) Log(message[0] == kPowerOn ? "power on" : "reset");
        powered_ = true;
        ++powerUps_;
        ResetSession();
        return std::nullopt;
      case kGetAtr: {
        Bytes atr = config_.mute ? Bytes(kUnreadableAtrLength, 0x3B) : config_.Atr();
        if (config_.logControls) Log("atr " + ToHex(atr));
        return atr;
      }
      default:
        Log("unknown control " + ToHex(message));
        return std::nullopt;
    }
  }
  if (message.empty()) return std::nullopt;
  Log("> " + ToHex(message));
  Bytes response = Transmit(message).Encode();
  Log("< " + ToHex(response));
  return response;
}

ResponseApdu Card::Transmit(const Bytes& bytes) {
  ++commandCount_;
  if (bytes.size() >= 2) ++perInstruction_[bytes[1]];
  CommandApdu command;
  if (!ParseCommand(ByteReader(bytes.data(), bytes.size()), &command)) {
    pending_.reset();
    return ResponseApdu::Status(0x6700);
  }
  if (config_.protocol == Protocol::kT0) return TransmitT0(command);
  ResponseApdu response = Execute(command);
  // T=1 carries the whole response; Le only caps it.
  if (command.le > 0 && response.data.size() > static_cast<size_t>(command.le)) {
    response.data.resize(static_cast<size_t>(command.le));
  }
  return response;
}

// T=0 moves data in one direction per exchange: a command with data (case 3) cannot bring
// data back, so the card announces it with 61xx and hands it out on GET RESPONSE; a command
// asking for data (case 2) must name its exact length, else the card answers 6Cxx.
ResponseApdu Card::TransmitT0(const CommandApdu& command) {
  if (command.cla == 0x00 && command.ins == 0xC0) return GetResponse(command);
  pending_.reset();
  // The reader strips Le from case 4 before T=0; a command that still has it is malformed.
  if (command.kind == CommandApdu::kCase4) return ResponseApdu::Status(0x6700);
  ResponseApdu response = Execute(command);
  if (response.data.empty()) return response;
  if (command.kind == CommandApdu::kCase2) {
    response.data.resize(std::min<size_t>(response.data.size(), 256));
    if (static_cast<size_t>(command.le) != response.data.size()) {
      return ResponseApdu::Status(StatusWithCount(0x6C, response.data.size()));
    }
    return response;
  }
  pending_ = std::move(response);
  pendingOffset_ = 0;
  return ResponseApdu::Status(
      StatusWithCount(0x61, std::min(pending_->data.size(), ChunkOf(config_))));
}

ResponseApdu Card::GetResponse(const CommandApdu& command) {
  if (!pending_) return ResponseApdu::Status(0x6985);
  if (command.kind != CommandApdu::kCase2) return ResponseApdu::Status(0x6700);
  if (command.p1 != 0 || command.p2 != 0) return ResponseApdu::Status(0x6A86);
  const size_t chunk = ChunkOf(config_);
  const size_t remaining = pending_->data.size() - pendingOffset_;
  const size_t available = std::min(remaining, chunk);
  const size_t le = static_cast<size_t>(command.le);
  if (le > available) return ResponseApdu::Status(StatusWithCount(0x6C, available));
  ResponseApdu part;
  auto from = pending_->data.begin() + static_cast<std::ptrdiff_t>(pendingOffset_);
  part.data.assign(from, from + static_cast<std::ptrdiff_t>(le));
  pendingOffset_ += le;
  const size_t left = remaining - le;
  if (left > 0) {
    part.sw = StatusWithCount(0x61, std::min(left, chunk));
  } else {
    part.sw = pending_->sw;
    pending_.reset();
  }
  return part;
}

ResponseApdu Card::Execute(const CommandApdu& command) {
  for (const CannedResponse& canned : config_.canned) {
    if (canned.response.size() < 2) continue;  // ApplyOption refuses these; a test may not
    if (command.raw.size() >= canned.prefix.size() &&
        std::equal(canned.prefix.begin(), canned.prefix.end(), command.raw.begin())) {
      ResponseApdu response;
      response.data.assign(canned.response.begin(), canned.response.end() - 2);
      response.sw = static_cast<uint16_t>(canned.response[canned.response.size() - 2] << 8 |
                                          canned.response.back());
      return response;
    }
  }
  if (const Handler* handler = commands_.Find(command.cla, command.ins)) {
    return (*handler)(command, *this);
  }
  return ResponseApdu::Status(commands_.KnowsClass(command.cla) ? 0x6D00 : 0x6E00);
}

}  // namespace qorx::cardsim
