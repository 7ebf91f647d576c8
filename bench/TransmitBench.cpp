// Per-APDU time through TSDSVCSmartCardSlotPCSC::Transmit against a bare SCardTransmit loop
// on the same card, in the same run, and their ratio.
//
// The card is the simulator behind pcscd's vpcd reader "Virtual PCD 00 00". When no
// simulator answers on the harness's control socket, this program runs
// `tools/harness/qorx-harness up` itself and `down` at the end, so both of these work:
//   ./run bench
//   tools/harness/qorx-harness up && build/bin/bench_transmit && tools/harness/qorx-harness down
// Options: --rounds N (default 20), --apdus N per path and round (default 200). Other
// arguments (./run bench passes its own to every benchmark) are ignored.

#include <PCSC/winscard.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "applet/ApplicationIdentifier.h"
#include "bench/BarePCSC.h"
#include "bench/BenchHarness.h"
#include "core/Exceptions.h"
#include "transport/APDU.h"
#include "transport/pcsc/SmartCardSlotPCSC.h"

namespace {

using qorx::bench::HarnessGuard;

using Clock = std::chrono::steady_clock;
constexpr const char* kReader = "Virtual PCD 00 00";

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double MicrosPer(Clock::duration d, int count) {
  return std::chrono::duration<double, std::micro>(d).count() / count;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = qorx::bench::CountOption(argc, argv, "--rounds", 20);
  const int apdus = qorx::bench::CountOption(argc, argv, "--apdus", 200);

  HarnessGuard harness;
  if (!harness.Start("bench_transmit")) return 1;

  // SELECT of the bank application: 13 bytes out, the 18-byte FCI and 90 00 back.
  std::vector<uint8_t> select(5 + sizeof qorx::kApplicationAid + 1, 0x00);
  const uint8_t header[5] = {0x00, 0xA4, 0x04, 0x00, sizeof qorx::kApplicationAid};
  std::memcpy(select.data(), header, sizeof header);
  std::memcpy(select.data() + sizeof header, qorx::kApplicationAid, sizeof qorx::kApplicationAid);
  qorx::TSDByteArray command(select.data(), static_cast<int32_t>(select.size()));

  try {
    qorx::TSDSVCSmartCardSlotPCSC slot(kReader);
    slot.Open("");
    if ((slot.GetStatus(nullptr) & qorx::TSDSVCSmartCardSlot::CardPresent) == 0 ||
        slot.CardAction(qorx::TSDSVCSmartCardSlot::ActionConnect) != 1 ||
        (slot.GetStatus(nullptr) & qorx::TSDSVCSmartCardSlot::CardConnected) == 0) {
      std::fprintf(stderr, "bench_transmit: no card to connect to in \"%s\"\n", kReader);
      return 1;
    }
    qorx::bench::BarePCSC bare(kReader);
    if (!bare.Connect()) {
      std::fprintf(stderr, "bench_transmit: pcsc-lite could not connect to \"%s\"\n", kReader);
      return 1;
    }

    uint8_t response[258];
    qorx::TSDAPDU apdu;
    auto runSlot = [&] {
      auto start = Clock::now();
      for (int i = 0; i < apdus; ++i) {
        apdu.ParseCommand(command, false);
        slot.Transmit(apdu);
      }
      return MicrosPer(Clock::now() - start, apdus);
    };
    auto runBare = [&]() -> double {
      auto start = Clock::now();
      for (int i = 0; i < apdus; ++i) {
        if (bare.Transmit(select.data(), select.size(), response, sizeof response) == 0) return -1;
      }
      return MicrosPer(Clock::now() - start, apdus);
    };

    auto runStatus = [&]() -> double {
      auto start = Clock::now();
      for (int i = 0; i < apdus; ++i) {
        if (!bare.ReaderAndCardStatus()) return -1;
      }
      return MicrosPer(Clock::now() - start, apdus);
    };

    // Both paths must see the same answer before their times mean anything.
    DWORD n = bare.Transmit(select.data(), select.size(), response, sizeof response);
    runSlot();
    if (n < 2 || apdu.StatusWord() != 0x9000 ||
        apdu.Bytes() != qorx::TSDByteArray(response, static_cast<int32_t>(n))) {
      std::fprintf(stderr, "bench_transmit: the two paths do not see the same answer\n");
      return 1;
    }

    // Alternate which path goes first, so that drift (other load, caches) hits both alike.
    std::vector<double> slotTimes, bareTimes, statusTimes;
    for (int r = 0; r < rounds; ++r) {
      double s, b;
      if (r % 2 == 0) {
        b = runBare();
        s = runSlot();
      } else {
        s = runSlot();
        b = runBare();
      }
      double c = runStatus();
      if (b < 0 || c < 0) {
        std::fprintf(stderr, "bench_transmit: a bare PC/SC call failed\n");
        return 1;
      }
      statusTimes.push_back(c);
      slotTimes.push_back(s);
      bareTimes.push_back(b);
    }

    const double bareMedian = Median(bareTimes), slotMedian = Median(slotTimes);
    uint32_t protocol = 0;
    slot.GetAttribute(qorx::TSDSVCSmartCardSlot::AttributeProtocol, &protocol, sizeof protocol);
    std::printf(
        "bench_transmit: SELECT (%zu bytes, %u back) on \"%s\", T=%d, %d rounds x %d "
        "APDUs per path\n",
        select.size(), static_cast<unsigned>(n), kReader, protocol == 2 ? 1 : 0, rounds, apdus);
    std::printf("  bare SCardTransmit               median %8.1f us/APDU  (min %.1f)\n", bareMedian,
                *std::min_element(bareTimes.begin(), bareTimes.end()));
    std::printf("  TSDSVCSmartCardSlotPCSC::Transmit median %8.1f us/APDU  (min %.1f)\n",
                slotMedian, *std::min_element(slotTimes.begin(), slotTimes.end()));
    std::printf(
        "  a status query per APDU would add (SCardGetStatusChange + SCardStatus): "
        "median %.1f us\n",
        Median(statusTimes));
    std::printf("  ratio slot/bare                  %8.3f  (target <= 1.05: %s)\n",
                slotMedian / bareMedian, slotMedian / bareMedian <= 1.05 ? "met" : "NOT met");
  } catch (const qorx::ESDException& e) {
    std::fprintf(stderr, "bench_transmit: ESDException %04X %s\n", e.Code(), e.Message());
    return 1;
  }
  return 0;
}
