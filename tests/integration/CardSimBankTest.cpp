// The simulated bank application with its real cryptography: the test plays the terminal,
// enciphering PIN blocks with the public key of the profile's certificate and checking the
// card's signatures with it, under T=1 and T=0.

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "tools/cardsim/Applets.h"
#include "tools/cardsim/Card.h"
#include "tools/cardsim/CardProfile.h"
#include "tools/cardsim/Options.h"
#include "tools/cardsim/Simulator.h"

namespace qorx::cardsim {
namespace {

Bytes H(const std::string& hex) {
  Bytes b;
  EXPECT_TRUE(ParseHex(hex, &b)) << hex;
  return b;
}

std::string Hex(const ResponseApdu& r) {
  char sw[5];
  snprintf(sw, sizeof sw, "%04X", r.sw);
  return ToHex(r.data) + sw;
}

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Context = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

// The public key the library takes from the card's certificate.
Key CertificateKey(const Bytes& der) {
  const unsigned char* p = der.data();
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  EXPECT_NE(cert, nullptr);
  Key key(cert ? X509_get_pubkey(cert) : nullptr, EVP_PKEY_free);
  X509_free(cert);
  return key;
}

// What the library sends: 00 02, challenge (00 as FF), FF filler, 00, PIN; raw RSA.
Bytes PinBlock(EVP_PKEY* key, const Bytes& challenge, const std::string& pin,
               bool substituteZeros = true) {
  const size_t k = static_cast<size_t>(EVP_PKEY_get_size(key));
  Bytes block{0x00, 0x02};
  for (uint8_t c : challenge) block.push_back(c == 0 && substituteZeros ? 0xFF : c);
  block.resize(k - pin.size() - 1, 0xFF);
  block.push_back(0x00);
  block.insert(block.end(), pin.begin(), pin.end());
  Context ctx(EVP_PKEY_CTX_new(key, nullptr), EVP_PKEY_CTX_free);
  Bytes out(k);
  size_t length = k;
  EXPECT_TRUE(ctx && EVP_PKEY_encrypt_init(ctx.get()) > 0 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) > 0 &&
              EVP_PKEY_encrypt(ctx.get(), out.data(), &length, block.data(), k) > 0);
  return out;
}

// A standard sha1WithRSAEncryption check of what INTERNAL AUTHENTICATE returned.
bool SignatureVerifies(EVP_PKEY* key, const Bytes& message, const Bytes& signature) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = EVP_DigestVerifyInit(ctx, nullptr, EVP_sha1(), nullptr, key) == 1 &&
            EVP_DigestVerify(ctx, signature.data(), signature.size(), message.data(),
                             message.size()) == 1;
  EVP_MD_CTX_free(ctx);
  return ok;
}

Bytes DigestInfo(const Bytes& message) {
  Bytes info = H("3021300906052B0E03021A05000414");
  Bytes digest = Sha1(message);
  info.insert(info.end(), digest.begin(), digest.end());
  return info;
}

const char* kSelect = "00A4040007A000000951100100";

class BankCard : public testing::TestWithParam<Protocol> {
 protected:
  BankCard() { Start({}); }

  void Start(std::initializer_list<const char*> options) {
    CardConfig config;
    for (const char* line : options) {
      std::string s = line, name = s.substr(0, s.find(' ')), value;
      if (s.find(' ') != std::string::npos) value = s.substr(s.find(' ') + 1);
      std::string error;
      EXPECT_TRUE(ApplyCardOption(config, name, value, !value.empty(), &error)) << error;
    }
    config.protocol = GetParam();
    card_ = std::make_unique<Card>(config);
    card_->OnReaderMessage(Bytes{0x01});
    key_ = CertificateKey(card_->Profile()->Certificate());
  }

  // One command as a terminal sends it: under T=0 without the Le of a case-4 command,
  // following 61xx with GET RESPONSE and 6Cxx with the corrected Le.
  ResponseApdu Tx(Bytes command) {
    const bool t0 = GetParam() == Protocol::kT0;
    if (t0 && command.size() > 5 && command.size() == 6u + command[4]) command.pop_back();
    ResponseApdu r = Send(command);
    if (t0 && (r.sw >> 8) == 0x6C) {
      command.back() = static_cast<uint8_t>(r.sw);
      r = Send(command);
    }
    Bytes data;
    while (t0 && (r.sw >> 8) == 0x61) {
      data.insert(data.end(), r.data.begin(), r.data.end());
      r = Send(Bytes{0x00, 0xC0, 0x00, 0x00, static_cast<uint8_t>(r.sw)});
    }
    data.insert(data.end(), r.data.begin(), r.data.end());
    r.data = data;
    return r;
  }
  std::string Tx(const std::string& hex) { return Hex(Tx(H(hex))); }

  Bytes Challenge() {
    ResponseApdu r = Tx(H("0084000000"));
    EXPECT_EQ(r.sw, 0x9000);
    EXPECT_EQ(r.data.size(), 8u);
    return r.data;
  }
  // VERIFY (INS 20) or CHANGE PIN (INS 24) with a block made with `challenge`.
  std::string PinCommand(uint8_t ins, const Bytes& challenge, const std::string& pin) {
    Bytes command = ins == 0x20 ? H("0020000880") : H("8024020880");
    Bytes block = PinBlock(key_.get(), challenge, pin);
    command.insert(command.end(), block.begin(), block.end());
    return Hex(Tx(command));
  }
  std::string Sign(const Bytes& message) {
    Bytes command = H("0088000023");
    Bytes info = DigestInfo(message);
    command.insert(command.end(), info.begin(), info.end());
    command.push_back(0x00);
    ResponseApdu r = Tx(command);
    if (r.sw == 0x9000) {
      EXPECT_EQ(r.data.size(), 128u);
      EXPECT_TRUE(SignatureVerifies(key_.get(), message, r.data));
    }
    return Hex(ResponseApdu::Status(r.sw));
  }

  std::unique_ptr<Card> card_;
  Key key_{nullptr, EVP_PKEY_free};

 private:
  ResponseApdu Send(const Bytes& command) {
    Bytes reply = card_->OnReaderMessage(command).value_or(Bytes{});
    if (reply.size() < 2) return ResponseApdu::Status(0);
    ResponseApdu r;
    r.data.assign(reply.begin(), reply.end() - 2);
    r.sw = static_cast<uint16_t>(reply[reply.size() - 2] << 8 | reply.back());
    return r;
  }
};

INSTANTIATE_TEST_SUITE_P(Protocols, BankCard, testing::Values(Protocol::kT1, Protocol::kT0),
                         [](const testing::TestParamInfo<Protocol>& row) {
                           return row.param == Protocol::kT0 ? "T0" : "T1";
                         });

// One card's life: each step is a command sequence and the answer the card must give.
TEST_P(BankCard, PinLifecycle) {
  struct Step {
    const char* action;  // verify/change PIN: fresh challenge; stale PIN: reuse the last one
    const char* arg;
    const char* expect;
  } steps[] = {
      {"unselected", "1234", "6985"},
      {"select", "", "9000"},
      {"tries", "", "9F1701039000"},
      {"sign", "", "6982"},
      {"change", "5678", "6982"},
      {"verify", "1111", "63C2"},
      {"tries", "", "9F1701029000"},
      {"stale", "1234", "6A80"},     // the wrong try used the challenge up
      {"garbage", "", "6A80"},       // no try lost for a block that is not one
      {"unpadded", "1234", "6A80"},  // a challenge's 00 byte must travel as FF
      {"between", "1234", "9000"},   // GET DATA between GET CHALLENGE and VERIFY keeps it
      {"tries", "", "9F1701039000"},
      {"sign", "", "9000"},
      {"sign", "", "9000"},    // verification lasts until the next SELECT
      {"change", "", "6A80"},  // an empty new PIN is a malformed block
      {"change", "98765", "9000"},
      {"sign", "", "9000"},
      {"select", "", "9000"},
      {"sign", "", "6982"},
      {"verify", "1234", "63C2"},
      {"verify", "98765", "9000"},
      {"reset", "", ""},
      {"select", "", "9000"},
      {"sign", "", "6982"},  // a reset ends the verification, not the card data
      {"verify", "0000", "63C2"},
      {"verify", "0000", "63C1"},
      {"verify", "0000", "6983"},  // the try that blocks the card
      {"verify", "98765", "6983"},
      {"tries", "", "9F1701009000"},
      {"get-data", "9F18", "6A88"},
  };
  Bytes last;
  for (const Step& step : steps) {
    const std::string action = step.action, arg = step.arg;
    SCOPED_TRACE(action + " " + arg);
    std::string got;
    if (action == "select") {
      got = Tx(kSelect);
      got.erase(0, got.size() - 4);
    } else if (action == "unselected") {
      EXPECT_EQ(Tx("0084000008"), "6985");
      got = PinCommand(0x20, Bytes(8, 0x11), arg);
    } else if (action == "verify" || action == "change") {
      last = Challenge();
      got = PinCommand(action == "verify" ? 0x20 : 0x24, last, arg);
    } else if (action == "stale") {
      got = PinCommand(0x20, last, arg);
    } else if (action == "garbage") {
      Challenge();
      got = Tx("0020000880" + std::string(256, '5'));
    } else if (action == "unpadded") {
      card_->Config().challengeZero = true;
      Bytes command = H("0020000880"), block = PinBlock(key_.get(), Challenge(), arg, false);
      card_->Config().challengeZero = false;
      command.insert(command.end(), block.begin(), block.end());
      got = Hex(Tx(command));
    } else if (action == "between") {
      last = Challenge();
      EXPECT_EQ(Tx("80CA9F1700").substr(0, 6), "9F1701");
      got = PinCommand(0x20, last, arg);
    } else if (action == "tries") {
      got = Tx("80CA9F1700");
    } else if (action == "get-data") {
      got = Tx("80CA" + arg + "00");
    } else if (action == "sign") {
      got = Sign(H("5472616E73666572203130302E30302045555220746F2041542D3132"));
    } else if (action == "reset") {
      card_->OnReaderMessage(Bytes{0x02});
    }
    EXPECT_EQ(got, step.expect);
  }
}

TEST_P(BankCard, ChallengeZeroAndCardData) {
  Start({"challenge-zero", "pin 24680", "tries 2"});
  Tx(kSelect);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Challenge()[3], 0x00);
  Bytes challenge = Challenge();
  EXPECT_EQ(PinCommand(0x20, challenge, "1234"), "63C1");
  EXPECT_EQ(PinCommand(0x20, Challenge(), "24680"), "9000");
  EXPECT_EQ(Tx("80CA9F1700"), "9F1701029000");  // back to the configured maximum
  // Removal and power loss keep the card data but not the challenge.
  Bytes kept = Challenge();
  card_->ResetToUnpowered();
  card_->OnReaderMessage(Bytes{0x01});
  Tx(kSelect);
  EXPECT_EQ(PinCommand(0x20, kept, "24680"), "6A80");
  Start({"tries 0"});
  Tx(kSelect);
  EXPECT_EQ(PinCommand(0x20, Challenge(), "1234"), "6983");
}

TEST_P(BankCard, InitializeUpdateAndScript) {
  Start({"respond 84E2:6A88"});
  EXPECT_EQ(Tx("8050000008010203040506070800"), "6985");
  Tx(kSelect);
  EXPECT_EQ(Tx("84DA9F4F03010203"), "6985");  // no script session yet
  uint16_t counter = 0;
  for (int i = 0; i < 2; ++i) {
    ResponseApdu r = Tx(H("8050000008010203040506070800"));
    ASSERT_EQ(r.sw, 0x9000);
    ASSERT_EQ(r.data.size(), 28u);
    EXPECT_EQ(ToHex(Bytes(r.data.begin() + 10, r.data.begin() + 12)), "0102");
    const uint16_t now = static_cast<uint16_t>(r.data[12] << 8 | r.data[13]);
    EXPECT_EQ(now, counter + 1);
    counter = now;
    Bytes input = H("0102030405060708");
    input.insert(input.end(), r.data.begin() + 12, r.data.begin() + 20);
    Bytes cryptogram = Sha1(input);
    EXPECT_EQ(Bytes(r.data.begin() + 20, r.data.end()),
              Bytes(cryptogram.begin(), cryptogram.begin() + 8));
  }
  EXPECT_EQ(Tx("8050000004010203"), "6700");
  EXPECT_EQ(Tx("84DA9F4F03010203"), "9000");
  EXPECT_EQ(Tx("8418000000"), "9000");
  EXPECT_EQ(Tx("84E2000003AABBCC"), "6A88");  // a canned answer wins
  Tx(kSelect);
  EXPECT_EQ(Tx("84DA9F4F03010203"), "6985");
}

TEST_P(BankCard, CertificateRead) {
  // An 804-byte element 30 82 03 20 ... behind the two header bytes of the file.
  Bytes element = H("30820320");
  for (int i = 0; i < 800; ++i) element.push_back(static_cast<uint8_t>(i * 7));
  Start({("certificate " + ToHex(element)).c_str()});
  EXPECT_EQ(Tx("900C000200"), "6985");
  Tx(kSelect);
  Bytes file = H("0324");
  file.insert(file.end(), element.begin(), element.end());
  struct Row {
    size_t offset, le, answered;
  } rows[] = {
      {2, 256, 256},  {258, 256, 256}, {514, 256, 256}, {770, 36, 36},
      {770, 256, 36},  // the file ends first
      {805, 1, 1},    {0, 2, 2},       {806, 1, 0},     {0xFFFF, 16, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.offset);
    ResponseApdu r = Tx(Bytes{0x90, 0x0C, static_cast<uint8_t>(row.offset >> 8),
                              static_cast<uint8_t>(row.offset), static_cast<uint8_t>(row.le)});
    if (row.answered == 0) {
      EXPECT_EQ(r.sw, 0x6B00);
      continue;
    }
    EXPECT_EQ(r.sw, 0x9000);
    EXPECT_EQ(r.data, Bytes(file.begin() + static_cast<std::ptrdiff_t>(row.offset),
                            file.begin() + static_cast<std::ptrdiff_t>(row.offset + row.answered)));
  }
  card_->Config().certificate.reset();  // back to the profile's own
  const Bytes& der = card_->Profile()->Certificate();
  EXPECT_EQ(Tx("900C000204").substr(0, 8), ToHex(Bytes(der.begin(), der.begin() + 4)));
}

TEST(CardSimProfiles, LoadingAndControl) {
  std::string error;
  for (const char* good :
       {"default", "expired", QORX_PKI_DATA "/cards/ca4", QORX_PKI_DATA "/cards/ca4.der"}) {
    auto profile = CardProfile::Load(good, &error);
    ASSERT_NE(profile, nullptr) << good << ": " << error;
    EXPECT_EQ(profile->KeySize(), 128u);
  }
  // A deployment's own folder replaces the test one for bare names.
  const std::string folder = testing::TempDir();
  auto copy = [&](const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream(folder + to, std::ios::binary) << in.rdbuf();
  };
  copy(QORX_PKI_DATA "/cards/v1.der", "cardsim-mine.der");
  copy(QORX_PKI_DATA "/cards/v1.key", "cardsim-mine.key");
  copy(QORX_PKI_DATA "/cards/v1.der", "cardsim-broken.der");
  std::ofstream(folder + "cardsim-broken.key") << "not a key\n";
  setenv("QORX_CARDSIM_PROFILES", folder.c_str(), 1);
  EXPECT_NE(CardProfile::Load("cardsim-mine", &error), nullptr) << error;
  for (const char* bad : {"", "default", "cardsim-broken", "/nonexistent/x"}) {
    error.clear();
    EXPECT_EQ(CardProfile::Load(bad, &error), nullptr) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  unsetenv("QORX_CARDSIM_PROFILES");

  // Through the control commands: a refused profile changes nothing; defaults restore the
  // start options and the card data.
  SimOptions options;
  ASSERT_TRUE(ApplyOption(options, "tries", "5", true, &error));
  Simulator sim(options);
  ASSERT_TRUE(sim.Start(&error)) << error;
  EXPECT_NE(sim.Execute("status").find("tries=5 verified=0"), std::string::npos);
  EXPECT_EQ(sim.Execute("profile no-such-card").substr(0, 30), "error cannot use profile 'no-s");
  EXPECT_EQ(sim.Execute("profile expired"), "ok");
  EXPECT_EQ(sim.Execute("tries 1"), "ok");
  EXPECT_NE(sim.Execute("status").find("tries=1"), std::string::npos);
  EXPECT_EQ(sim.Execute("pin 1234567890123456").substr(0, 5), "error");
  EXPECT_EQ(sim.Execute("tries 16").substr(0, 5), "error");
  EXPECT_EQ(sim.Execute("certificate 30Z").substr(0, 5), "error");
  EXPECT_NE(sim.Execute("status").find("profile=expired"), std::string::npos);
  EXPECT_EQ(sim.Execute("defaults"), "ok");
  EXPECT_NE(sim.Execute("status").find("tries=5 verified=0 profile=default"), std::string::npos);
}

}  // namespace
}  // namespace qorx::cardsim
