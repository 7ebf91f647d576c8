// One transaction signature, end to end, three ways on the same card in the same run:
//   native       SignTransaction through the Java native method (libqorx.so in a JVM), after
//                one card authentication and PIN verification;
//   bare         the APDUs of that call (SELECT, GET CHALLENGE, VERIFY, INTERNAL AUTHENTICATE,
//                SELECT) through pcsc-lite linked directly, in one transaction, the VERIFY
//                block enciphered here with OpenSSL;
//   smartcardio  the same APDUs through javax.smartcardio in the same JVM, in one exclusive
//                access.
// Prints each one's median time per signature and the ratios native/bare and
// native/smartcardio. Every signature is checked with the key of the card's certificate.
// A fourth line, the bare path with the status poll every card operation of the library makes
// first (SCardStatus on the connected card), shows how much of the difference that accounts
// for.
//
// The card is the simulator behind pcscd's vpcd reader "Virtual PCD 00 00". When no
// simulator answers on the harness's control socket, this program runs
// `tools/harness/qorx-harness up` itself and `down` at the end, so both of these work:
//   ./run bench
//   tools/harness/qorx-harness up && build/bin/bench_sign && tools/harness/qorx-harness down
// Options: --rounds N (default 301), --ops N signatures per path and round (default 1). Other
// arguments (./run bench passes its own to every benchmark) are ignored. The paths take turns
// signature by signature: the machine's other load then weighs on all of them alike.

#include <PCSC/winscard.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "applet/ApplicationIdentifier.h"
#include "bench/BarePCSC.h"
#include "bench/BenchHarness.h"
#include "bench/Spawn.h"
#include "core/Hex.h"

namespace {

using qorx::bench::HarnessGuard;

using Clock = std::chrono::steady_clock;
constexpr const char* kReader = "Virtual PCD 00 00";
constexpr const char* kText = "pay 100 EUR";
constexpr const char* kPin = "1234";
// The card authentication checks the certificate's validity on this date.
constexpr const char* kDate = "2026/12/08";
constexpr uint8_t kDigestInfoPrefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                         0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};

// The JVM running SignBench.java, spoken to through its standard input and output.
class JavaSide {
 public:
  bool Start(const std::vector<std::string>& argv) {
    int in[2], out[2];
    if (pipe(in) != 0) return false;
    if (pipe(out) != 0) return false;
    pid_ = qorx::bench::Spawn(argv, in[0], out[1], {in[0], in[1], out[0], out[1]});
    if (pid_ < 0) return false;
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
    return true;
  }

  // The next line the JVM prints, or "" when it exited or said nothing for 30 s.
  std::string ReadLine() {
    for (;;) {
      const size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      pollfd p = {from_, POLLIN, 0};
      if (poll(&p, 1, 30000) <= 0) return "";
      char chunk[4096];
      const ssize_t n = read(from_, chunk, sizeof chunk);
      if (n <= 0) return "";
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  // Sends `command`; the wall and processor nanoseconds it answers, or false after printing
  // what went wrong.
  bool Ask(const std::string& command, double* wall, double* cpu) {
    const std::string line = command + "\n";
    if (write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return false;
    const std::string answer = ReadLine();
    if (std::sscanf(answer.c_str(), "ok %lf %lf", wall, cpu) == 2) return true;
    std::fprintf(stderr, "bench_sign: Java, %s: %s\n", command.c_str(),
                 answer.empty() ? "no answer" : answer.c_str());
    return false;
  }

  // Ends the JVM before the harness goes: it holds connections to pcscd.
  ~JavaSide() {
    if (pid_ <= 0) return;
    const std::string quit = "quit\n";
    if (write(to_, quit.data(), quit.size()) < 0) {
      // Closing its input below ends it as well.
    }
    close(to_);
    close(from_);
    for (int i = 0; i < 100; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      usleep(50000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
  std::string buffer_;
};

// The card's public key, from the certificate the card itself served.
class CardKey {
 public:
  bool Load(const std::vector<uint8_t>& certificate) {
    const unsigned char* p = certificate.data();
    X509* x509 = d2i_X509(nullptr, &p, static_cast<long>(certificate.size()));
    if (x509 == nullptr) return false;
    key_ = X509_get_pubkey(x509);
    X509_free(x509);
    if (key_ == nullptr || EVP_PKEY_get_base_id(key_) != EVP_PKEY_RSA) return false;
    length_ = static_cast<size_t>(EVP_PKEY_get_size(key_));
    encrypt_ = EVP_PKEY_CTX_new(key_, nullptr);
    verify_ = EVP_PKEY_CTX_new(key_, nullptr);
    return encrypt_ != nullptr && verify_ != nullptr && EVP_PKEY_encrypt_init(encrypt_) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(encrypt_, RSA_NO_PADDING) == 1 &&
           EVP_PKEY_verify_init(verify_) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(verify_, RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_CTX_set_signature_md(verify_, EVP_sha1()) == 1;
  }
  ~CardKey() {
    EVP_PKEY_CTX_free(encrypt_);
    EVP_PKEY_CTX_free(verify_);
    EVP_PKEY_free(key_);
  }
  size_t Length() const { return length_; }

  // Raw RSA with the public key: the block must already be as long as the modulus.
  bool Encipher(const uint8_t* block, uint8_t* out) {
    size_t n = length_;
    return EVP_PKEY_encrypt(encrypt_, out, &n, block, length_) == 1 && n == length_;
  }
  bool Verify(const std::vector<uint8_t>& signature, const uint8_t digest[20]) {
    return EVP_PKEY_verify(verify_, signature.data(), signature.size(), digest, 20) == 1;
  }

 private:
  EVP_PKEY* key_ = nullptr;
  EVP_PKEY_CTX* encrypt_ = nullptr;
  EVP_PKEY_CTX* verify_ = nullptr;
  size_t length_ = 0;
};

// One signature the way SignTransaction does it, with the same APDUs.
class BareSigner {
 public:
  BareSigner(qorx::bench::BarePCSC& pcsc, CardKey& key) : pcsc_(pcsc), key_(key) {
    const uint8_t header[5] = {0x00, 0xA4, 0x04, 0x00, sizeof qorx::kApplicationAid};
    select_.assign(header, header + 5);
    select_.insert(select_.end(), qorx::kApplicationAid,
                   qorx::kApplicationAid + sizeof qorx::kApplicationAid);
    select_.push_back(0x00);
  }

  // The signature, or an empty one after printing which step failed. With `poll`, the card
  // operation's status poll first.
  std::vector<uint8_t> Sign(uint8_t digest[20], bool poll) {
    std::vector<uint8_t> signature;
    if (poll && !pcsc_.CardStatus()) {
      std::fprintf(stderr, "bench_sign: a status query failed\n");
      return signature;
    }
    if (!pcsc_.Begin()) {
      std::fprintf(stderr, "bench_sign: SCardBeginTransaction failed\n");
      return signature;
    }
    const char* failed = Steps(digest, &signature);
    if (!pcsc_.End() && failed == nullptr) failed = "SCardEndTransaction";
    if (failed != nullptr) {
      std::fprintf(stderr, "bench_sign: bare %s failed\n", failed);
      signature.clear();
    }
    return signature;
  }

 private:
  const char* Steps(uint8_t digest[20], std::vector<uint8_t>* signature) {
    std::vector<uint8_t> data;
    if (pcsc_.Send(select_.data(), select_.size(), &data) != 0x9000) return "SELECT";
    const uint8_t getChallenge[5] = {0x00, 0x84, 0x00, 0x00, 0x00};
    if (pcsc_.Send(getChallenge, sizeof getChallenge, &data) != 0x9000 || data.size() != 8)
      return "GET CHALLENGE";

    // 00 02, the challenge with its 00 bytes sent as FF, FF filler, 00, the PIN.
    const size_t k = key_.Length(), pinLength = std::strlen(kPin);
    std::vector<uint8_t> block(k, 0xFF);
    block[0] = 0x00;
    block[1] = 0x02;
    for (size_t i = 0; i < data.size(); ++i)
      if (data[i] != 0) block[2 + i] = data[i];
    block[k - pinLength - 1] = 0x00;
    std::memcpy(block.data() + k - pinLength, kPin, pinLength);
    std::vector<uint8_t> verify = {0x00, 0x20, 0x00, 0x08, static_cast<uint8_t>(k)};
    verify.resize(5 + k);
    const bool enciphered = key_.Encipher(block.data(), verify.data() + 5);
    explicit_bzero(block.data(), block.size());
    if (!enciphered) return "RSA";
    if (pcsc_.Send(verify.data(), verify.size(), &data) != 0x9000) return "VERIFY";

    const uint8_t header[5] = {0x00, 0x88, 0x00, 0x00, sizeof kDigestInfoPrefix + 20};
    std::vector<uint8_t> authenticate(header, header + 5);
    authenticate.insert(authenticate.end(), kDigestInfoPrefix,
                        kDigestInfoPrefix + sizeof kDigestInfoPrefix);
    authenticate.insert(authenticate.end(), digest, digest + 20);
    authenticate.push_back(0x00);
    if (pcsc_.Send(authenticate.data(), authenticate.size(), signature) != 0x9000)
      return "INTERNAL AUTHENTICATE";
    if (pcsc_.Send(select_.data(), select_.size(), &data) != 0x9000) return "SELECT";
    return nullptr;
  }

  qorx::bench::BarePCSC& pcsc_;
  CardKey& key_;
  std::vector<uint8_t> select_;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Min(const std::vector<double>& v) {
  return *std::min_element(v.begin(), v.end());
}

double ThreadCpuNanos() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// One path's figures, per signature, one entry a round.
struct Path {
  const char* name;
  std::vector<double> wall, cpu;
};

}  // namespace

int main(int argc, char** argv) {
  const int rounds = qorx::bench::CountOption(argc, argv, "--rounds", 301);
  const int ops = qorx::bench::CountOption(argc, argv, "--ops", 1);

  HarnessGuard harness;
  if (!harness.Start("bench_sign")) return 1;

  // The bare handle connects first: the JVM's two handles share the card with it.
  qorx::bench::BarePCSC pcsc(kReader);
  if (!pcsc.Connect()) {
    std::fprintf(stderr, "bench_sign: pcsc-lite could not connect to \"%s\"\n", kReader);
    return 1;
  }
  JavaSide java;
  const std::vector<uint8_t> aid(qorx::kApplicationAid,
                                 qorx::kApplicationAid + sizeof qorx::kApplicationAid);
  if (!java.Start({QORX_JAVA, "-Dqorx.library=" QORX_LIBRARY,
                   "-Dsun.security.smartcardio.library=" QORX_PCSCLITE_RUNTIME, "-cp",
                   QORX_BENCH_CLASSPATH, "SignBench", kReader, qorx::ToHex(aid), kText, kPin,
                   kDate})) {
    std::fprintf(stderr, "bench_sign: cannot start %s\n", QORX_JAVA);
    return 1;
  }
  const std::string hello = java.ReadLine();
  std::vector<uint8_t> certificate;
  CardKey key;
  if (hello.compare(0, 12, "certificate ") != 0 ||
      !qorx::ParseHex(hello.substr(12), &certificate) || !key.Load(certificate)) {
    std::fprintf(stderr, "bench_sign: the Java side did not start: %s\n",
                 hello.empty() ? "no answer" : hello.c_str());
    return 1;
  }

  BareSigner signer(pcsc, key);
  std::vector<std::vector<uint8_t>> signatures;
  auto runBare = [&](int n, bool poll, double* wall, double* cpu) {
    signatures.resize(static_cast<size_t>(n));
    const double cpuStart = ThreadCpuNanos();
    const auto start = Clock::now();
    for (auto& signature : signatures) {
      // Hashed every time, as SignTransaction does.
      uint8_t digest[20];
      unsigned digestLength = 0;
      if (EVP_Digest(kText, std::strlen(kText), digest, &digestLength, EVP_sha1(), nullptr) != 1)
        return false;
      signature = signer.Sign(digest, poll);
      if (signature.empty()) return false;
    }
    *wall = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    *cpu = ThreadCpuNanos() - cpuStart;
    uint8_t digest[20];
    unsigned digestLength = 0;
    EVP_Digest(kText, std::strlen(kText), digest, &digestLength, EVP_sha1(), nullptr);
    for (const auto& signature : signatures) {
      if (!key.Verify(signature, digest)) {
        std::fprintf(stderr, "bench_sign: a bare signature does not verify\n");
        return false;
      }
    }
    return true;
  };

  Path paths[] = {{"native SignTransaction (JNI)", {}, {}},
                  {"bare SCardTransmit", {}, {}},
                  {"javax.smartcardio", {}, {}},
                  {"bare + a status poll", {}, {}}};
  constexpr int kPaths = sizeof paths / sizeof paths[0];
  auto run = [&](int path, int n, bool keep) {
    const std::string count = " " + std::to_string(n);
    double wall = 0, cpu = 0;
    const bool ok = path == 0   ? java.Ask("native" + count, &wall, &cpu)
                    : path == 1 ? runBare(n, false, &wall, &cpu)
                    : path == 2 ? java.Ask("smartcardio" + count, &wall, &cpu)
                                : runBare(n, true, &wall, &cpu);
    if (ok && keep) {
      paths[path].wall.push_back(wall / 1000.0 / n);
      paths[path].cpu.push_back(cpu / 1000.0 / n);
    }
    return ok;
  };

  // Some of each first (class loading, JIT, the card's first answers), not counted.
  constexpr int kWarmUp = 30;
  for (int path = 0; path < kPaths; ++path)
    if (!run(path, kWarmUp, false)) return 1;
  // Each round rotates which path goes first, so that drift hits all alike.
  for (int r = 0; r < rounds; ++r)
    for (int i = 0; i < kPaths; ++i)
      if (!run((r + i) % kPaths, ops, true)) return 1;

  std::printf(
      "bench_sign: one signature (SELECT, GET CHALLENGE, VERIFY, INTERNAL AUTHENTICATE, "
      "SELECT in one transaction) on \"%s\", %d rounds x %d per path; us per signature\n",
      kReader, rounds, ops);
  std::printf("  %-34s %9s %9s %12s\n", "path", "median", "min", "client CPU");
  for (const Path& p : paths)
    std::printf("  %-34s %9.1f %9.1f %12.1f\n", p.name, Median(p.wall), Min(p.wall), Median(p.cpu));
  const double native = Median(paths[0].wall), bare = Median(paths[1].wall),
               smartcardio = Median(paths[2].wall);
  std::printf("  ratio native/bare         %6.3f  (target <= 1.05: %s)\n", native / bare,
              native / bare <= 1.05 ? "met" : "NOT met");
  std::printf("  ratio native/smartcardio  %6.3f  (target <= 0.95: %s)\n", native / smartcardio,
              native / smartcardio <= 0.95 ? "met" : "NOT met");
  // The library's own floor: the poll stays (see SmartCardSlotPCSC::GetStatus).
  const double polled = Median(paths[3].wall);
  std::printf("  ratio native/(bare + a status poll)  %6.3f;  the poll alone: %.3f x bare\n",
              native / polled, polled / bare);
  return 0;
}
