#pragma once

#include <optional>

#include "tools/cardsim/Card.h"

namespace qorx::cardsim {

// Fills the command table with what the simulated card understands:
//   00 A4 04 00  SELECT by AID: the bank application or one added with the `app` option
//   80 F2 40 00  GET_FCI of the bank application: data ending in the application status byte
// and the bank application's own commands (InstallBankCommands).
void InstallApplets(CommandTable& table);

// The bank application's commands, with the card profile's key (BankApplet.cpp):
//   90 0C        read the certificate file (P1 P2 = offset)
//   00 84        GET CHALLENGE            00 20 00 08  VERIFY (enciphered PIN block)
//   80 24 02 08  CHANGE PIN               80 CA 9F 17  GET DATA: PIN try counter
//   00 88        INTERNAL AUTHENTICATE    80 50        INITIALIZE UPDATE
//   84 xx        issuer script commands, after INITIALIZE UPDATE
void InstallBankCommands(CommandTable& table);

const Bytes& BankAid();

// The bank application's FCI: 6F { 84 <AID>, A5 { 9F08 <version> } }, or the configured
// replacement.
Bytes BankFci(const CardConfig& config);

// The FCI that SELECT answers for `aid`, if the card has such an application.
std::optional<Bytes> FindApplication(const CardConfig& config, const Bytes& aid);

// A BER-TLV element with a one- or two-byte tag and a definite length.
Bytes Tlv(uint16_t tag, const Bytes& value);

}  // namespace qorx::cardsim
