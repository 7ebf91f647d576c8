#include "tools/cardsim/Applets.h"

#include "applet/ApplicationIdentifier.h"

namespace qorx::cardsim {

namespace {

const Bytes kBankAid(std::begin(kApplicationAid), std::end(kApplicationAid));

ResponseApdu Select(const CommandApdu& command, Card& card) {
  card.Session() = BankSession{};  // whatever is selected, the PIN has to be verified again
  if (command.p1 != 0x04) return ResponseApdu::Status(0x6A86);  // by name only
  if (command.kind == CommandApdu::kCase1 || command.kind == CommandApdu::kCase2) {
    return ResponseApdu::Status(0x6700);
  }
  const CardConfig& config = card.Config();
  std::optional<Bytes> fci = FindApplication(config, command.data);
  if (!fci || config.selectFail) return ResponseApdu::Status(0x6A82);
  card.Select(command.data);
  ResponseApdu response;
  if ((command.p2 & 0x0C) != 0x0C) response.data = *fci;  // P2 0C asks for no FCI
  response.sw = config.selectWarning ? 0x6283 : 0x9000;
  return response;
}

ResponseApdu GetFci(const CommandApdu& command, Card& card) {
  if (command.p1 != 0x40 || command.p2 != 0x00) return ResponseApdu::Status(0x6A86);
  if (command.data != kBankAid) return ResponseApdu::Status(0x6A88);
  if (card.Selected() != kBankAid) return ResponseApdu::Status(0x6985);
  const CardConfig& config = card.Config();
  ResponseApdu response;
  if (!config.appStatus) return response;  // 9000 without data
  response.data = Tlv(0x84, kBankAid);
  if (config.version) {
    Bytes version = Tlv(0x9F08, *config.version);
    response.data.insert(response.data.end(), version.begin(), version.end());
  }
  response.data.push_back(*config.appStatus);
  return response;
}

}  // namespace

const Bytes& BankAid() {
  return kBankAid;
}

Bytes Tlv(uint16_t tag, const Bytes& value) {
  Bytes out;
  if (tag > 0xFF) out.push_back(static_cast<uint8_t>(tag >> 8));
  out.push_back(static_cast<uint8_t>(tag & 0xFF));
  const size_t n = value.size();
  if (n >= 0x100) {
    out.insert(out.end(), {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n & 0xFF)});
  } else if (n >= 0x80) {
    out.insert(out.end(), {0x81, static_cast<uint8_t>(n)});
  } else {
    out.push_back(static_cast<uint8_t>(n));
  }
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

Bytes BankFci(const CardConfig& config) {
  if (config.bankFci) return *config.bankFci;
  Bytes proprietary = config.version ? Tlv(0x9F08, *config.version) : Bytes{};
  Bytes body = Tlv(0x84, kBankAid);
  Bytes a5 = Tlv(0xA5, proprietary);
  body.insert(body.end(), a5.begin(), a5.end());
  return Tlv(0x6F, body);
}

std::optional<Bytes> FindApplication(const CardConfig& config, const Bytes& aid) {
  if (aid == kBankAid) return BankFci(config);
  for (const Application& app : config.apps) {
    if (app.aid == aid) return app.fci;
  }
  return std::nullopt;
}

void InstallApplets(CommandTable& table) {
  table.Set(0x00, 0xA4, Select);
  table.Set(0x80, 0xF2, GetFci);
  InstallBankCommands(table);
}

}  // namespace qorx::cardsim
