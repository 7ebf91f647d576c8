// The card operations over the real stack (our PC/SC slot, pcscd, the vpcd reader and the
// card simulator playing the bank's card with its own keys): authentication by every test
// certificate, the secret code, signing, password encryption and the secure channel, each
// checked cryptographically and by the commands the card saw.

#include <PCSC/winscard.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "applet/QorTerminalAppletService.h"
#include "core/Exceptions.h"
#include "crypto/KeyVault.h"
#include "tests/applet/PkiData.h"
#include "tests/integration/IntegrationSupport.h"
#include "tests/integration/SecondClient.h"
#include "tests/support/Seams.h"
#include "tests/support/TestSupport.h"

namespace qorx::integration {
namespace {

using test::Hex;
using test::HexOf;
using test::StatusOf;
using S = TQorTerminalAppletService;

constexpr const char* kToday = "2026/12/08";
constexpr const char* kPin = "1234";

// The commands the simulator logged ("> " lines), from line `from` of its log on.
std::vector<std::string> LoggedCommands(size_t from, size_t* lines = nullptr) {
  std::ifstream log(HarnessDir() + "/sim-main.log");
  std::vector<std::string> commands;
  std::string line;
  size_t n = 0;
  while (std::getline(log, line)) {
    if (n++ >= from && line.compare(0, 2, "> ") == 0) commands.push_back(line.substr(2));
  }
  if (lines != nullptr) *lines = n;
  return commands;
}
size_t LogMark() {
  size_t lines = 0;
  LoggedCommands(0, &lines);
  return lines;
}
// The instruction bytes of commands, in order ("A4 84 20 88 A4").
std::string Instructions(const std::vector<std::string>& commands) {
  std::string out;
  for (const std::string& c : commands) out += (out.empty() ? "" : " ") + c.substr(2, 2);
  return out;
}

struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

Pkey PublicKeyOf(const TSDByteArray& der) {
  const unsigned char* p = der.Data();
  X509* x = d2i_X509(nullptr, &p, der.Length());
  Pkey key(X509_get_pubkey(x));
  X509_free(x);
  return key;
}
Pkey PrivateKey(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  Pkey key(f != nullptr ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr);
  if (f != nullptr) std::fclose(f);
  return key;
}
// PKCS #1 v1.5 with SHA-1, as java.security or any bank host would check it.
bool VerifiesSha1(EVP_PKEY* key, const TSDByteArray& data, const TSDByteArray& signature) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok =
      EVP_DigestVerifyInit(ctx, nullptr, EVP_sha1(), nullptr, key) == 1 &&
      EVP_DigestVerify(ctx, signature.Data(), signature.Length(), data.Data(), data.Length()) == 1;
  EVP_MD_CTX_free(ctx);
  return ok;
}
// The raw RSA private operation: what the key's owner recovers from a type-2 block.
TSDByteArray RawDecrypt(EVP_PKEY* key, const TSDByteArray& block) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  TSDByteArray out(block.Length());
  size_t n = static_cast<size_t>(out.Length());
  EVP_PKEY_decrypt_init(ctx);
  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING);
  EXPECT_EQ(EVP_PKEY_decrypt(ctx, out.WritableData(), &n, block.Data(), block.Length()), 1);
  EVP_PKEY_CTX_free(ctx);
  return out;
}

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * 4;
}

class CardOperations : public ::testing::Test {
 protected:
  void SetUp() override { Ready(); }
  void TearDown() override {
    if (service_.Slot() != nullptr) service_.Close();
  }

  // A fresh card with `options`, the reader open and the card identified.
  void Ready(const std::vector<std::string>& options = {}) {
    if (service_.Slot() != nullptr) service_.Close();
    sim_.Reinsert(options);
    service_.Open(kReader);
    ASSERT_TRUE(WaitFor([&] { return service_.GetCardStatus() == S::StateCardReady; }));
  }
  void Authenticated(const std::vector<std::string>& options = {}) {
    Ready(options);
    ASSERT_EQ(StatusOf([&] { service_.CardAuthenticate(kToday); }), 0);
  }
  void Verified(const std::vector<std::string>& options = {}) {
    Authenticated(options);
    ASSERT_EQ(StatusOf([&] { service_.CardVerifySecretCode(kPin); }), 0);
  }
  int Tries() {
    int tries = -1;
    EXPECT_EQ(StatusOf([&] { tries = service_.GetPinTryCounter(); }), 0);
    return tries;
  }

  bool OtherClientGetsThrough() {
    return integration::OtherClientGetsThrough([&] {
      if (service_.Slot() != nullptr) service_.Close();
    });
  }

  Simulator sim_;
  S service_;
};

// ---- Authentication ----------------------------------------------------------------------

TEST_F(CardOperations, EveryTestCertificate) {
  for (const auto& p : test::CardProfiles()) {
    SCOPED_TRACE(p.name);
    Ready({"profile " + p.name});
    int32_t expected = 0;
    if (p.issuer == "rogue" || p.name == "tampered" || p.pan == "-") {
      expected = aps::kCertificateInvalid;
    } else if (p.notAfter < "2026-12-08") {
      expected = aps::kDateAfterValidity;
    } else if (p.notBefore > "2026-12-08") {
      expected = aps::kDateBeforeValidity;
    }
    TSDByteArray serial;
    EXPECT_EQ(StatusOf([&] { serial = service_.CardAuthenticate(kToday); }), expected);
    EXPECT_EQ(service_.ApplicationState(),
              expected == 0 ? S::StateCardAuthenticated : S::StateCardReady);
    if (expected == 0) {
      EXPECT_EQ(HexOf(serial), p.pan + p.sequence);
    }
    EXPECT_FALSE(service_.InTransaction());
  }
  EXPECT_TRUE(OtherClientGetsThrough());
}

TEST_F(CardOperations, DatesAgainstTheValidity) {
  Ready({"profile expired"});  // 2007-11-07 to 2009-11-07
  const struct {
    const char* date;
    int32_t status;
  } rows[] = {
      {"2007/11/7", 0},
      {"2009/11/6", 0},
      {"2009/11/7", aps::kDateAfterValidity},
      {"2007/11/6", aps::kDateBeforeValidity},
      {"7/11/2007", aps::kMalformedDate},
      {"2008/13/1", aps::kMalformedDate},
      {"2008/1/0", aps::kMalformedDate},
      {"", aps::kMalformedDate},
      {nullptr, aps::kMalformedDate},
  };
  sim_.ResetCounts();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.date != nullptr ? row.date : "null");
    EXPECT_EQ(StatusOf([&] { service_.CardAuthenticate(row.date); }), row.status);
  }
  // The certificate (3 chunks) was read once for all of these.
  EXPECT_EQ(sim_.Count("0C"), 3);
  sim_.Reinsert({"profile generalized"});
  ASSERT_TRUE(WaitFor([&] { return service_.GetCardStatus() == S::StateCardReady; }));
  EXPECT_EQ(StatusOf([&] { service_.CardAuthenticate("2050/12/31"); }), 0);
  EXPECT_EQ(StatusOf([&] { service_.CardAuthenticate("2051/1/1"); }), aps::kDateAfterValidity);
}

TEST_F(CardOperations, CertificateReadInChunks) {
  // 30 82 03 20: h = 4, L = 800 -> offsets 2, 258, 514, 770 with Le 256, 256, 256, 36.
  std::string body(1600, '5');
  Ready({"certificate 30820320" + body});
  size_t mark = LogMark();
  TSDByteArray certificate;
  ASSERT_EQ(StatusOf([&] { certificate = service_.GetCertificate(); }), 0);
  EXPECT_EQ(certificate.Length(), 804);
  std::vector<std::string> reads;
  for (const std::string& c : LoggedCommands(mark)) {
    if (c.compare(0, 4, "900C") == 0) reads.push_back(c);
  }
  EXPECT_EQ(reads,
            (std::vector<std::string>{"900C000200", "900C010200", "900C020200", "900C030224"}));
  // Cached for this insertion, read again after the next one.
  sim_.ResetCounts();
  service_.GetCertificate();
  EXPECT_EQ(sim_.Count("0C"), 0);
  EXPECT_EQ(StatusOf([&] { service_.CardAuthenticate(kToday); }), aps::kCertificateInvalid);
  EXPECT_EQ(sim_.Count("0C"), 0);
  sim_.Reinsert();
  ASSERT_TRUE(WaitFor([&] { return service_.GetCardStatus() == S::StateCardReady; }));
  EXPECT_EQ(HexOf(service_.GetCertificate()), HexOf(test::CardCertificate("default")));
  EXPECT_GT(sim_.Count("0C"), 0);

  // A first chunk without a TLV header: nothing more is read, the certificate is empty.
  Ready({"certificate 0000"});
  sim_.ResetCounts();
  EXPECT_EQ(service_.GetCertificate().Length(), 0);
  EXPECT_EQ(sim_.Count("0C"), 1);
  // A read refused by the card.
  Ready({"respond 900C:6A82"});
  EXPECT_EQ(StatusOf([&] { service_.CardAuthenticate(kToday); }), aps::kCertificateReadFailed);
  EXPECT_TRUE(OtherClientGetsThrough());
}

TEST_F(CardOperations, ThousandAuthenticationsKeepKeysAndMemoryFlat) {
  Authenticated();
  const int32_t keys = service_.KeySet().NodeCount();
  long before = 0;
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(StatusOf([&] { service_.CardAuthenticate(kToday); }), 0) << i;
    if (i == 99) before = ResidentKiB();
  }
  EXPECT_EQ(service_.KeySet().NodeCount(), keys);
#ifndef __SANITIZE_ADDRESS__  // its quarantine keeps freed memory; its leak check runs instead
  EXPECT_LT(ResidentKiB() - before, 1024) << "KiB grown over 900 authentications";
#else
  (void)before;
#endif
}

// ---- Secret code -------------------------------------------------------------------------

TEST_F(CardOperations, SecretCodeVerification) {
  Authenticated();
  sim_.ResetCounts();
  EXPECT_EQ(StatusOf([&] { service_.CardVerifySecretCode("1234567890123456"); }),
            aps::kSecretCodeRejected);
  EXPECT_EQ(StatusOf([&] { service_.CardVerifySecretCode(nullptr); }), aps::kSecretCodeRejected);
  EXPECT_EQ(sim_.Count(""), 0) << "refused before any command";

  EXPECT_EQ(StatusOf([&] { service_.CardVerifySecretCode("9999"); }), aps::kSecretCodeRejected);
  EXPECT_EQ(service_.ApplicationState(), S::StateCardAuthenticated);
  EXPECT_EQ(Tries(), 2);
  EXPECT_EQ(StatusOf([&] { service_.CardVerifySecretCode(kPin); }), 0);
  EXPECT_EQ(service_.ApplicationState(), S::StateSecretCodeVerified);
  EXPECT_EQ(Tries(), 3);
  // A wrong code in the verified state costs the verified state too.
  EXPECT_EQ(StatusOf([&] { service_.CardVerifySecretCode("1111"); }), aps::kSecretCodeRejected);
  EXPECT_EQ(service_.ApplicationState(), S::StateCardAuthenticated);
  EXPECT_TRUE(OtherClientGetsThrough());

  // Challenge bytes 00 travel as FF (the card checks), a 15-character code is accepted.
  Authenticated({"challenge-zero", "pin 123456789012345"});
  EXPECT_EQ(StatusOf([&] { service_.CardVerifySecretCode("123456789012345"); }), 0);

  Authenticated({"tries 1"});
  EXPECT_EQ(StatusOf([&] { service_.CardVerifySecretCode("0000"); }), aps::kSecretCodeBlocked);
  EXPECT_EQ(StatusOf([&] { service_.CardVerifySecretCode(kPin); }), aps::kSecretCodeBlocked);
  EXPECT_EQ(Tries(), 0);
  EXPECT_EQ(service_.ApplicationState(), S::StateCardAuthenticated);

  Ready();
  EXPECT_EQ(StatusOf([&] { service_.CardVerifySecretCode(kPin); }), aps::kStateCardReady);
}

// Every byte block that goes back to the allocator while codes are verified and changed
// (the Java-side copies, the cache plaintext, the block before enciphering) is zero by then.
std::atomic<int> g_released{0}, g_dirty{0};
void CountRelease(const void* data, size_t length) {
  ++g_released;
  for (size_t i = 0; i < length; ++i) {
    if (static_cast<const uint8_t*>(data)[i] != 0) {
      ++g_dirty;
      return;
    }
  }
}

TEST_F(CardOperations, SecretsAreWipedBeforeTheirMemoryIsFreed) {
  Authenticated();
  SetReleaseObserver(&CountRelease);
  EXPECT_EQ(StatusOf([&] { service_.CardVerifySecretCode(kPin); }), 0);
  EXPECT_EQ(StatusOf([&] { service_.ChangeSecretCode(kPin, "8642"); }), 0);
  EXPECT_EQ(StatusOf([&] { service_.EncryptPassword(Hex("414243"), 0x80, true); }), 0);
  SetReleaseObserver(nullptr);
  EXPECT_GT(g_released.load(), 20);
  EXPECT_EQ(g_dirty.load(), 0);
}

TEST_F(CardOperations, SecretCodeChange) {
  Authenticated();
  sim_.ResetCounts();
  EXPECT_EQ(StatusOf([&] { service_.ChangeSecretCode(kPin, "1234567890123456"); }),
            aps::kSecretCodeRejected);
  EXPECT_EQ(StatusOf([&] { service_.ChangeSecretCode(nullptr, "5678"); }),
            aps::kSecretCodeRejected);
  EXPECT_EQ(StatusOf([&] { service_.ChangeSecretCode(kPin, nullptr); }), aps::kSecretCodeRejected);
  EXPECT_EQ(sim_.Count(""), 0);

  EXPECT_EQ(StatusOf([&] { service_.ChangeSecretCode("0000", "5678"); }), aps::kSecretCodeRejected);
  EXPECT_EQ(sim_.Count("24"), 0) << "no CHANGE PIN after a failed VERIFY";

  size_t mark = LogMark();
  EXPECT_EQ(StatusOf([&] { service_.ChangeSecretCode(kPin, "5678"); }), 0);
  EXPECT_EQ(Instructions(LoggedCommands(mark)), "A4 84 20 84 24 A4");
  EXPECT_EQ(service_.ApplicationState(), S::StateCardAuthenticated);
  EXPECT_EQ(StatusOf([&] { service_.CardVerifySecretCode(kPin); }), aps::kSecretCodeRejected);
  EXPECT_EQ(StatusOf([&] { service_.CardVerifySecretCode("5678"); }), 0);
  // From the verified state a failing change logs out.
  EXPECT_EQ(StatusOf([&] { service_.ChangeSecretCode("0000", "1234"); }), aps::kSecretCodeRejected);
  EXPECT_EQ(service_.ApplicationState(), S::StateCardAuthenticated);
  EXPECT_TRUE(OtherClientGetsThrough());
}

// ---- Signing -----------------------------------------------------------------------------

TEST_F(CardOperations, SigningIsVerifiableWithTheCertifiedKey) {
  for (const char* protocol : {"t1", "t0"}) {
    SCOPED_TRACE(protocol);
    Authenticated({protocol});
    sim_.ResetCounts();
    EXPECT_EQ(StatusOf([&] { service_.SignTransaction(Hex("01")); }), aps::kStateCardAuthenticated);
    EXPECT_EQ(sim_.Count(""), 0);
    ASSERT_EQ(StatusOf([&] { service_.CardVerifySecretCode(kPin); }), 0);

    const TSDByteArray data("pay 100.00 EUR to DE89 3704 0044 0532 0130 00");
    size_t mark = LogMark();
    TSDByteArray signature;
    ASSERT_EQ(StatusOf([&] { signature = service_.SignTransaction(data); }), 0);
    const std::vector<std::string> commands = LoggedCommands(mark);
    if (std::string(protocol) == "t1") {
      EXPECT_EQ(Instructions(commands), "A4 84 20 88 A4");
      EXPECT_EQ(commands[3].substr(0, 40),
                "0088000023302130"
                "0906052B0E03021A05000414");
    }
    Pkey key = PublicKeyOf(service_.GetCertificate());
    EXPECT_TRUE(VerifiesSha1(key.get(), data, signature));
    EXPECT_EQ(service_.ApplicationState(), S::StateSecretCodeVerified);
    // The cached code is verified again for the next signature.
    EXPECT_EQ(StatusOf([&] { signature = service_.SignTransaction(data); }), 0);
    EXPECT_TRUE(VerifiesSha1(key.get(), data, signature));
  }
  // A refused signature: the card is free afterwards, the state stays verified.
  Verified({"respond 0088:6985"});
  EXPECT_EQ(StatusOf([&] { service_.SignTransaction(Hex("01")); }), 0x10000 | sd::kExternal);
  EXPECT_EQ(service_.ApplicationState(), S::StateSecretCodeVerified);
  EXPECT_TRUE(OtherClientGetsThrough());
}

// ---- Password encryption -----------------------------------------------------------------

TEST_F(CardOperations, PasswordEncryptionNeedsNoCard) {
  service_.Close();
  for (int version : {1, 3}) {
    SCOPED_TRACE(version);
    const TSDByteArray password = TSDByteArray::PrefixCopy(TSDByteArray("s3cr3t-Passw0rd"), false);
    TSDByteArray result;
    ASSERT_EQ(StatusOf([&] { result = service_.EncryptPassword(password, 0x9F55, version == 3); }),
              0);
    // 30 81 96 { 9F55 81 80 <128>, 88 10 <key id> }
    ASSERT_EQ(result.Length(), 3 + 4 + 128 + 2 + 16);
    EXPECT_EQ(HexOf(result.Mid(0, 7)), "3081969F558180");
    uint8_t id[16];
    S::IssuerKeyIdentifier(static_cast<uint8_t>(version), id);
    EXPECT_EQ(HexOf(result.Mid(135, 18)), "8810" + HexOf(TSDByteArray(id, 16)));
    Pkey key =
        PrivateKey(std::string(QORX_ISSUER_KEYS) + "/issuer-v" + std::to_string(version) + ".pem");
    ASSERT_TRUE(key);
    const TSDByteArray block = RawDecrypt(key.get(), result.Mid(7, 128));
    EXPECT_EQ(HexOf(block.Mid(0, 2)), "0002");
    EXPECT_EQ(block.ByteAt(128 - password.Length() - 1), 0x00);
    EXPECT_EQ(HexOf(block.Mid(128 - password.Length(), password.Length())), HexOf(password));
  }
  EXPECT_EQ(StatusOf([&] { service_.EncryptPassword(TSDByteArray(118), 0x80, false); }),
            0x10000 | sd::kMalformed);
}

// ---- Secure channel ----------------------------------------------------------------------

TEST_F(CardOperations, SecureChannelAndScripts) {
  sim_.ResetCounts();
  const TSDByteArray shortChallenge = Hex("01020304050607");
  EXPECT_EQ(StatusOf([&] { service_.SecureChannelInit(&shortChallenge, 3); }), aps::kCannotServe);
  EXPECT_EQ(StatusOf([&] { service_.SecureChannelInit(nullptr, 3); }), aps::kCannotServe);
  EXPECT_EQ(sim_.Count(""), 0);

  const TSDByteArray challenge = Hex("0102030405060708AA");
  TSDByteArray init;
  ASSERT_EQ(StatusOf([&] { init = service_.SecureChannelInit(&challenge, 3); }), 0);
  // 30 { 4F <AID>, 80 <8 challenge bytes>, 81 <28 bytes>, 82 03 }
  const std::string hex = HexOf(init);
  EXPECT_EQ(hex.substr(0, 42), "30344F07A000000951100180080102030405060708");
  EXPECT_EQ(hex.substr(42, 4), "811C");
  EXPECT_EQ(hex.substr(hex.size() - 6), "820103");
  EXPECT_TRUE(service_.InTransaction()) << "the host's script runs in the same dialogue";

  size_t mark = LogMark();
  const TSDByteArray script = Hex("7115 9F1804 00000001 8605 84E2000000 8605 84E2000100");
  EXPECT_EQ(service_.SecureChannelExecScript(script), 0x9000);
  EXPECT_EQ(LoggedCommands(mark), (std::vector<std::string>{"84E2000000", "84E2000100"}));
  EXPECT_EQ(StatusOf([&] { service_.SecureChannelExecScript(Hex("7107 9F1804 00000001")); }),
            aps::kCannotServe);
  EXPECT_EQ(StatusOf([&] { service_.SecureChannelExecScript(Hex("7207 8605 84E2000000")); }),
            aps::kCannotServe);
  EXPECT_EQ(StatusOf([&] { service_.SecureChannelExecScript(Hex("7109 8605 84E2000000 9102")); }),
            0x10000 | sd::kMalformed);
  // The next operation's end of dialogue lets others in again; so does closing.
  EXPECT_EQ(StatusOf([&] { service_.GetPinTryCounter(); }), 0);
  EXPECT_FALSE(service_.InTransaction());
  EXPECT_TRUE(OtherClientGetsThrough());

  // The script stops at its first failing command.
  Ready({"respond 84E20000:6A88"});
  ASSERT_EQ(StatusOf([&] { service_.SecureChannelInit(&challenge, 3); }), 0);
  mark = LogMark();
  EXPECT_EQ(service_.SecureChannelExecScript(script), 0x6A88);
  EXPECT_EQ(LoggedCommands(mark).size(), 1u);
  service_.Close();
  EXPECT_TRUE(OtherClientGetsThrough()) << "closing ends a transaction left open";

  EXPECT_EQ(StatusOf([&] { service_.SecureChannelExecScript(script); }), aps::kNoReaderOpen);
}

}  // namespace
}  // namespace qorx::integration
