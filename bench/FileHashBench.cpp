// File hashing on a 256 MiB file: the library's streaming SHA-1 (C++), NativeHashFile through
// a JVM, and `openssl sha1` on the same file in the same run. Prints each one's throughput, its
// ratio to openssl, and its peak resident memory beside that of an empty run of the same kind.
//
// Every case runs in a process of its own (this program again, java, openssl), so that the
// peak memory the kernel reports for it is its own. Each runs 5 times with the file in the page
// cache; the best time counts. The file lives in a temporary directory removed at the end.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "bench/Spawn.h"
#include "core/Exceptions.h"
#include "crypto/FileDigest.h"

namespace {

constexpr size_t kFileSize = size_t{256} << 20;
constexpr int kRuns = 5;

struct Run {
  std::string output;  // what the process printed
  double seconds;      // wall time from start to exit
  long peakKiB;        // its peak resident memory
};

// Runs `argv`, capturing its standard output. Exits the benchmark when it fails.
Run Execute(const std::vector<std::string>& argv) {
  int out[2];
  if (pipe(out) != 0) std::exit(2);
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = qorx::bench::Spawn(argv, -1, out[1], {out[0], out[1]});
  if (child < 0) std::exit(2);
  close(out[1]);
  std::string output;
  char buffer[4096];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) output.append(buffer, n);
  close(out[0]);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "bench_filehash: %s failed: %s\n", argv[0].c_str(), output.c_str());
    std::exit(1);
  }
  return {output, seconds, usage.ru_maxrss};
}

// The C++ case as its own process: "digest seconds", or "- 0" for the empty run.
int Child(const char* file) {
  if (file == nullptr) {
    std::printf("- 0\n");
    return 0;
  }
  try {
    const auto start = std::chrono::steady_clock::now();
    const qorx::TSDByteArray digest = qorx::Sha1OfFile(file);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s %.6f\n", digest.ToHex().CStr(), seconds);
    return 0;
  } catch (const qorx::ESDException& e) {
    std::printf("failed %04X\n", e.Code());
    return 1;
  }
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

struct Case {
  const char* name;
  std::vector<std::string> command;
  std::vector<std::string> empty;  // the same kind of process doing nothing; none for openssl
  bool timesItself;                // prints its own time of the hashing alone
  Case(const char* n, std::vector<std::string> c, std::vector<std::string> e, bool t)
      : name(n), command(std::move(c)), empty(std::move(e)), timesItself(t) {}
  double best = 1e9;
  double bestWall = 1e9;
  long peakKiB = 0;
  long emptyKiB = 0;
  std::string digest;
};

void WriteFile(const std::string& path) {
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  if (fd < 0) std::exit(2);
  std::vector<uint32_t> block((1u << 20) / 4);
  uint32_t x = 0x2545F491u;
  for (size_t written = 0; written < kFileSize; written += block.size() * 4) {
    for (uint32_t& w : block) w = (x ^= x << 13, x ^= x >> 17, x ^= x << 5);
    if (write(fd, block.data(), block.size() * 4) != static_cast<ssize_t>(block.size() * 4))
      std::exit(2);
  }
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--child") == 0)
    return Child(argc >= 3 ? argv[2] : nullptr);

  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/qorx-filehash-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return 2;
  const std::string dir = pattern;
  const std::string file = dir + "/file.bin";
  WriteFile(file);

  const std::string self = "/proc/self/exe";
  char selfPath[4096];
  const ssize_t n = readlink(self.c_str(), selfPath, sizeof selfPath - 1);
  if (n <= 0) return 2;
  selfPath[n] = '\0';
  const std::vector<std::string> java = {QORX_JAVA, "-Dqorx.library=" QORX_LIBRARY, "-cp",
                                         QORX_BENCH_CLASSPATH, "FileHashBench"};
  std::vector<std::string> javaFile = java;
  javaFile.push_back(file);

  std::vector<Case> cases = {
      {"openssl sha1", {QORX_OPENSSL, "sha1", "-r", file}, {}, false},
      {"C++ Sha1OfFile", {selfPath, "--child", file}, {selfPath, "--child"}, true},
      {"Java NativeHashFile", javaFile, java, true},
  };
  for (int run = 0; run < kRuns; ++run) {
    for (Case& c : cases) {  // interleaved, so that load from elsewhere hits all alike
      const Run r = Execute(c.command);
      char digest[64] = {};
      double own = 0;
      if (std::sscanf(r.output.c_str(), "%63s %lf", digest, &own) < 1) return 1;
      c.digest = Lower(digest);
      c.best = std::min(c.best, c.timesItself ? own : r.seconds);
      c.bestWall = std::min(c.bestWall, r.seconds);
      c.peakKiB = std::max(c.peakKiB, r.peakKiB);
    }
  }
  for (Case& c : cases)
    if (!c.empty.empty()) c.emptyKiB = Execute(c.empty).peakKiB;
  unlink(file.c_str());
  rmdir(dir.c_str());

  const double mib = static_cast<double>(kFileSize) / (1 << 20);
  const double openssl = mib / cases[0].best;
  std::printf("File hashing, %zu MiB file in the page cache, best of %d runs\n", kFileSize >> 20,
              kRuns);
  std::printf("%-22s %10s %9s %12s %12s %10s\n", "case", "MiB/s", "ratio", "peak RSS MiB",
              "empty MiB", "above MiB");
  bool same = true;
  for (const Case& c : cases) {
    const double rate = mib / c.best;
    same = same && c.digest == cases[0].digest;
    if (c.empty.empty()) {
      std::printf("%-22s %10.0f %9.3f %12.1f %12s %10s\n", c.name, rate, rate / openssl,
                  c.peakKiB / 1024.0, "-", "-");
    } else {
      std::printf("%-22s %10.0f %9.3f %12.1f %12.1f %10.1f\n", c.name, rate, rate / openssl,
                  c.peakKiB / 1024.0, c.emptyKiB / 1024.0, (c.peakKiB - c.emptyKiB) / 1024.0);
    }
  }
  std::printf("openssl counts its process start; the C++ and Java cases time the hashing alone.\n");
  const double cxxWall = mib / cases[1].bestWall;
  std::printf("C++ with its process start counted as well: %.0f MiB/s, ratio %.3f\n", cxxWall,
              cxxWall / openssl);
  std::printf("digests %s (%s)\n", same ? "agree" : "DIFFER", cases[0].digest.c_str());
  return same ? 0 : 1;
}
