// The bank application's own commands. The cryptography is real (the profile's private key),
// so what the library enciphers or has signed is checked as a card would check it.

#include <algorithm>

#include "core/ByteReader.h"
#include "tools/cardsim/Applets.h"

namespace qorx::cardsim {

namespace {

constexpr size_t kMaxPin = 15;

ResponseApdu Status(uint16_t sw) {
  return ResponseApdu::Status(sw);
}

bool HasData(const CommandApdu& command) {
  return command.kind == CommandApdu::kCase3 || command.kind == CommandApdu::kCase4;
}

bool BankSelected(const Card& card) {
  return card.Selected() == BankAid();
}

Bytes Concat(std::initializer_list<const Bytes*> parts) {
  Bytes out;
  for (const Bytes* part : parts) out.insert(out.end(), part->begin(), part->end());
  return out;
}

// 00 02, the challenge (00 bytes sent as FF), at least one FF, 00, then the PIN.
bool ParsePinBlock(const Bytes& block, const std::array<uint8_t, 8>& challenge, Bytes* pin) {
  ByteReader in(block.data(), block.size());
  uint8_t b = 0;
  if (!in.ReadU8(&b) || b != 0x00 || !in.ReadU8(&b) || b != 0x02) return false;
  for (uint8_t c : challenge) {
    if (!in.ReadU8(&b) || b != (c == 0 ? 0xFF : c)) return false;
  }
  size_t filler = 0;
  while (in.PeekU8(&b) && b == 0xFF) {
    in.Skip(1);
    ++filler;
  }
  if (filler == 0 || !in.ReadU8(&b) || b != 0x00) return false;
  if (in.Empty() || in.Remaining() > kMaxPin) return false;
  pin->assign(in.Position(), in.Position() + in.Remaining());
  return true;
}

// The PIN carried by a VERIFY or CHANGE PIN block made with the challenge the card handed
// out last; 6A80 when there was none or the block does not decipher to the expected shape.
uint16_t OpenPinBlock(const CommandApdu& command, Card& card,
                      const std::optional<std::array<uint8_t, 8>>& challenge, Bytes* pin) {
  const CardProfile* profile = card.Profile();
  if (profile == nullptr) return 0x6F00;
  if (!challenge) return 0x6A80;
  std::optional<Bytes> block = profile->Decipher(command.data);
  if (!block) return 0x6A80;
  const bool ok = ParsePinBlock(*block, *challenge, pin);
  Wipe(*block);
  return ok ? 0x9000 : 0x6A80;
}

ResponseApdu ReadCertificate(const CommandApdu& command, Card& card) {
  if (command.kind != CommandApdu::kCase2) return Status(0x6700);
  if (!BankSelected(card)) return Status(0x6985);
  const Bytes file = card.CertificateFile();
  const size_t offset = static_cast<size_t>(command.p1 << 8 | command.p2);
  if (offset >= file.size()) return Status(0x6B00);
  const size_t end = std::min(file.size(), offset + static_cast<size_t>(command.le));
  ResponseApdu response;
  response.data.assign(file.begin() + static_cast<std::ptrdiff_t>(offset),
                       file.begin() + static_cast<std::ptrdiff_t>(end));
  return response;
}

ResponseApdu GetChallenge(const CommandApdu& command, Card& card) {
  if (command.kind != CommandApdu::kCase2) return Status(0x6700);
  if (command.p1 != 0 || command.p2 != 0) return Status(0x6A86);
  if (!BankSelected(card)) return Status(0x6985);
  if (command.le != 8 && command.le != 256) return Status(0x6C08);
  ResponseApdu response;
  response.data = RandomBytes(8);
  if (card.Config().challengeZero) response.data[3] = 0x00;
  std::array<uint8_t, 8> challenge;
  std::copy(response.data.begin(), response.data.end(), challenge.begin());
  card.Session().challenge = challenge;
  return response;
}

ResponseApdu Verify(const CommandApdu& command, Card& card) {
  BankSession& session = card.Session();
  const auto challenge = session.challenge;
  session.challenge.reset();  // one try per challenge, whatever comes of it
  if (command.p1 != 0x00 || command.p2 != 0x08) return Status(0x6A86);
  if (!HasData(command)) return Status(0x6700);
  if (!BankSelected(card)) return Status(0x6985);
  BankCardData& data = card.Data();
  if (data.triesLeft == 0) return Status(0x6983);
  Bytes pin;
  const uint16_t sw = OpenPinBlock(command, card, challenge, &pin);
  if (sw != 0x9000) return Status(sw);
  const bool right =
      pin.size() == data.pin.size() && std::equal(pin.begin(), pin.end(), data.pin.begin());
  Wipe(pin);
  if (!right) {
    session.verified = false;
    --data.triesLeft;
    card.Note("# wrong PIN, tries left " + std::to_string(data.triesLeft));
    return Status(data.triesLeft == 0 ? 0x6983 : static_cast<uint16_t>(0x63C0 | data.triesLeft));
  }
  data.triesLeft = card.Config().tries;
  session.verified = true;
  return Status(0x9000);
}

ResponseApdu ChangePin(const CommandApdu& command, Card& card) {
  BankSession& session = card.Session();
  const auto challenge = session.challenge;
  session.challenge.reset();
  if (command.p1 != 0x02 || command.p2 != 0x08) return Status(0x6A86);
  if (!HasData(command)) return Status(0x6700);
  if (!BankSelected(card)) return Status(0x6985);
  if (!session.verified) return Status(0x6982);
  Bytes pin;
  const uint16_t sw = OpenPinBlock(command, card, challenge, &pin);
  if (sw != 0x9000) return Status(sw);
  std::string& stored = card.Data().pin;
  std::fill(stored.begin(), stored.end(), '\0');
  stored.assign(pin.begin(), pin.end());
  Wipe(pin);
  card.Note("# PIN changed");
  return Status(0x9000);
}

ResponseApdu GetData(const CommandApdu& command, Card& card) {
  if (HasData(command)) return Status(0x6700);
  if (!BankSelected(card)) return Status(0x6985);
  if (command.p1 != 0x9F || command.p2 != 0x17) return Status(0x6A88);
  ResponseApdu response;
  response.data = Tlv(0x9F17, Bytes{static_cast<uint8_t>(card.Data().triesLeft)});
  return response;
}

ResponseApdu InternalAuthenticate(const CommandApdu& command, Card& card) {
  if (command.p1 != 0 || command.p2 != 0) return Status(0x6A86);
  if (!HasData(command)) return Status(0x6700);
  if (!BankSelected(card)) return Status(0x6985);
  if (!card.Session().verified) return Status(0x6982);
  const CardProfile* profile = card.Profile();
  if (profile == nullptr) return Status(0x6F00);
  std::optional<Bytes> signature = profile->Sign(command.data);
  if (!signature) return Status(0x6700);  // more than the key's block can carry
  return ResponseApdu{*signature, 0x9000};
}

// The GlobalPlatform answer shape; the cryptogram is made up (nothing derives channel keys),
// but it depends on both challenges and the counter as a real one would.
ResponseApdu InitializeUpdate(const CommandApdu& command, Card& card) {
  if (command.p2 != 0) return Status(0x6A86);
  if (!HasData(command) || command.data.size() != 8) return Status(0x6700);
  if (!BankSelected(card)) return Status(0x6985);
  uint16_t& counter = card.Data().sequenceCounter;
  ++counter;
  const Bytes diversification = [&] {
    Bytes digest = Sha1(card.CertificateFile());
    digest.resize(10);
    return digest;
  }();
  const Bytes keyInformation{command.p1 == 0 ? uint8_t{0x01} : command.p1, 0x02};
  const Bytes sequence{static_cast<uint8_t>(counter >> 8), static_cast<uint8_t>(counter & 0xFF)};
  const Bytes cardChallenge = RandomBytes(6);
  Bytes cryptogram = Sha1(Concat({&command.data, &sequence, &cardChallenge}));
  cryptogram.resize(8);
  ResponseApdu response;
  response.data =
      Concat({&diversification, &keyInformation, &sequence, &cardChallenge, &cryptogram});
  card.Session().scriptSession = true;
  return response;
}

ResponseApdu ScriptCommand(const CommandApdu& command, Card& card) {
  if (!card.Session().scriptSession) return Status(0x6985);
  card.Note("# script command " + ToHex(command.raw));
  return Status(0x9000);
}

}  // namespace

void InstallBankCommands(CommandTable& table) {
  table.Set(0x90, 0x0C, ReadCertificate);
  table.Set(0x00, 0x84, GetChallenge);
  table.Set(0x00, 0x20, Verify);
  table.Set(0x80, 0x24, ChangePin);
  table.Set(0x80, 0xCA, GetData);
  table.Set(0x00, 0x88, InternalAuthenticate);
  table.Set(0x80, 0x50, InitializeUpdate);
  table.SetClass(0x84, ScriptCommand);
}

}  // namespace qorx::cardsim
