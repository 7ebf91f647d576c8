// Our SHA-1 against OpenSSL's, on both of our compression paths, with the throughput ratio
// ours/OpenSSL printed after the usual benchmark table.
//
// By default each case runs 7 repetitions of at least 0.2 s, interleaved at random so that
// load from other processes hits all cases alike; ratios use the medians of the rates over CPU
// time. --benchmark_* arguments override these defaults one by one. OpenSSL always runs its
// own fastest code for this processor (its SHA extensions code where available).

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "crypto/SHA1Digest.h"

namespace {

using qorx::Sha1Path;
using qorx::TSDSHA1Digest;

const struct {
  const char* name;
  size_t bytes;
} kSizes[] = {{"64KiB", size_t{64} << 10}, {"16MiB", size_t{16} << 20}};

const struct {
  const char* name;
  Sha1Path path;
} kPaths[] = {{"extensions", Sha1Path::Extensions}, {"portable", Sha1Path::Portable}};

const std::vector<uint8_t>& Input() {
  static const std::vector<uint8_t> input = [] {
    std::vector<uint8_t> bytes(kSizes[1].bytes);
    std::mt19937 rng(42);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
  }();
  return input;
}

// OpenSSL's one-shot digest, to check that the path being timed computes the right thing.
bool MatchesOpenSsl(const uint8_t* data, size_t bytes, const uint8_t* digest) {
  uint8_t expected[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  return EVP_Digest(data, bytes, expected, &len, EVP_sha1(), nullptr) == 1 &&
         len == TSDSHA1Digest::kDigestLength && std::memcmp(expected, digest, len) == 0;
}

void Ours(benchmark::State& state, Sha1Path path, size_t bytes) {
  if (path == Sha1Path::Extensions && !qorx::Sha1ExtensionsSupported()) {
    state.SkipWithError("this processor has no SHA extensions");
    return;
  }
  qorx::SetSha1Path(path);
  const uint8_t* data = Input().data();
  uint8_t out[TSDSHA1Digest::kDigestLength];
  {
    TSDSHA1Digest digest;
    digest.Update(data, bytes);
    digest.Final(out);
  }
  if (!MatchesOpenSsl(data, bytes, out)) {
    qorx::SetSha1Path(Sha1Path::Auto);
    state.SkipWithError("digest differs from OpenSSL's");
    return;
  }
  for (auto _ : state) {
    TSDSHA1Digest digest;
    digest.Update(data, bytes);
    digest.Final(out);
    benchmark::DoNotOptimize(out);
  }
  qorx::SetSha1Path(Sha1Path::Auto);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// OpenSSL at its best: the digest is fetched once and one context is reused.
void OpenSsl(benchmark::State& state, size_t bytes) {
  std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(EVP_MD_fetch(nullptr, "SHA1", nullptr),
                                                     EVP_MD_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!md || !ctx) {
    state.SkipWithError("OpenSSL has no SHA-1");
    return;
  }
  const uint8_t* data = Input().data();
  uint8_t out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  for (auto _ : state) {
    if (EVP_DigestInit_ex(ctx.get(), md.get(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), data, bytes) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), out, &len) != 1) {
      state.SkipWithError("OpenSSL SHA-1 failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

std::string OursName(const char* path, const char* size) {
  return std::string("sha1/ours/") + path + "/" + size;
}
std::string OpenSslName(const char* size) {
  return std::string("sha1/openssl/") + size;
}

// The console table as usual, and the bytes per second of each case kept for the ratios:
// the median when there are repetitions, else the single run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, so logs of ./run bench stay readable.
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      auto rate = run.counters.find("bytes_per_second");
      if ((median || single) && rate != run.counters.end())
        rates_[run.run_name.function_name] = rate->second.value;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("sha1 ratios: throughput of ours / throughput of OpenSSL's EVP SHA-1\n");
    for (const auto& size : kSizes) {
      for (const auto& path : kPaths) {
        auto ours = rates_.find(OursName(path.name, size.name));
        auto theirs = rates_.find(OpenSslName(size.name));
        if (ours == rates_.end() || theirs == rates_.end() || theirs->second <= 0) {
          std::printf("sha1 ratio ours/openssl %s %s: not measured\n", size.name, path.name);
          continue;
        }
        std::printf("sha1 ratio ours/openssl %s %s: %.2f (ours %.0f MiB/s, openssl %.0f MiB/s)\n",
                    size.name, path.name, ours->second / theirs->second, ours->second / (1 << 20),
                    theirs->second / (1 << 20));
      }
    }
    std::fflush(stdout);
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  // Defaults first: a flag given on the command line comes later and wins.
  static char minTime[] = "--benchmark_min_time=0.2";
  static char repetitions[] = "--benchmark_repetitions=7";
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  static char aggregatesOnly[] = "--benchmark_display_aggregates_only=true";
  std::vector<char*> args = {argv[0], minTime, repetitions, interleave, aggregatesOnly};
  args.insert(args.end(), argv + 1, argv + argc);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

  for (const auto& size : kSizes) {
    for (const auto& path : kPaths)
      benchmark::RegisterBenchmark(OursName(path.name, size.name).c_str(), Ours, path.path,
                                   size.bytes)
          ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(OpenSslName(size.name).c_str(), OpenSsl, size.bytes)
        ->Unit(benchmark::kMicrosecond);
  }
  Input();  // fill the input before anything is timed

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
