// A PC/SC layer that lies: the fake PC/SC library (tests/transport/pcsc) with the fuzzer's
// bytes deciding every call's result code, the responses the card gives (status words, 61xx
// chains, truncated answers, lengths beyond what was written) and when the card leaves,
// mutes or comes back, while a fixed sequence of service operations runs. Every failure must
// come back as a status, nothing may be held afterwards, and nothing may wait without bound.
#include <PCSC/winscard.h>
#include <dlfcn.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "applet/QorTerminalAppletService.h"
#include "bindings/Diagnostics.h"
#include "core/Exceptions.h"
#include "fuzz/FuzzCheck.h"
#include "tests/transport/pcsc/FakePCSCControl.h"
#include "transport/pcsc/PCSCLoader.h"

using namespace qorx;

namespace {

// The fake's control surface, from the very copy the slot loads.
struct Fake {
  decltype(&FakePCSC_Reset) reset;
  decltype(&FakePCSC_SetReaders) setReaders;
  decltype(&FakePCSC_LieAboutListLength) lieAboutListLength;
  decltype(&FakePCSC_SetCard) setCard;
  decltype(&FakePCSC_SetProtocol) setProtocol;
  decltype(&FakePCSC_QueueResponse) queueResponse;
  decltype(&FakePCSC_LieAboutResponseLength) lieAboutResponseLength;
  decltype(&FakePCSC_SetResultHook) setResultHook;
  decltype(&FakePCSC_RestartService) restartService;
};
Fake fake;

template <typename Fn>
void Bind(void* handle, const char* name, Fn* out) {
  void* symbol = dlsym(handle, name);
  if (symbol == nullptr) qorx::fuzz::Fail(name, __FILE__, __LINE__);
  *out = reinterpret_cast<Fn>(symbol);
}

const unsigned char kAtr[] = {0x3B, 0x88, 0x01, 0x51, 0x6F, 0x72,
                              0x58, 0x53, 0x69, 0x6D, 0x31, 0xFB};

// What the platform may answer instead of success. SCARD_E_SHARING_VIOLATION is left out: its
// bounded wait sleeps, and the unit tests cover it.
const long kFailures[] = {
    SCARD_E_NO_SERVICE,           SCARD_E_SERVICE_STOPPED, SCARD_E_INVALID_HANDLE,
    SCARD_E_READER_UNAVAILABLE,   SCARD_F_COMM_ERROR,      SCARD_W_REMOVED_CARD,
    SCARD_W_RESET_CARD,           SCARD_E_NO_SMARTCARD,    SCARD_W_UNRESPONSIVE_CARD,
    SCARD_W_UNPOWERED_CARD,       SCARD_E_NOT_TRANSACTED,  SCARD_E_INSUFFICIENT_BUFFER,
    SCARD_E_PROTO_MISMATCH,       SCARD_E_UNKNOWN_READER,  SCARD_E_TIMEOUT,
    SCARD_E_NO_READERS_AVAILABLE, SCARD_F_INTERNAL_ERROR,  SCARD_E_INVALID_PARAMETER,
};

// The input, read by the hook as the calls come.
const uint8_t* input = nullptr;
size_t left = 0;

bool Take(uint8_t* b) {
  if (left == 0) return false;
  *b = *input++;
  --left;
  return true;
}

// A response for SCardTransmit: a length byte and that many bytes (what the input has), or a
// canned shape; sometimes a lie about the length received.
void ScriptResponse() {
  uint8_t kind = 0;
  if (!Take(&kind)) return;
  unsigned char bytes[300];
  size_t n = 0;
  switch (kind % 5) {
    case 0:  // 9000 alone
      bytes[n++] = 0x90;
      bytes[n++] = 0x00;
      break;
    case 1: {  // 61xx: more data waiting
      uint8_t count = 0;
      Take(&count);
      bytes[n++] = 0x61;
      bytes[n++] = count;
      break;
    }
    case 2: {  // 6Cxx: wrong length
      uint8_t count = 0;
      Take(&count);
      bytes[n++] = 0x6C;
      bytes[n++] = count;
      break;
    }
    default: {  // raw bytes, possibly without a status word or longer than any buffer
      uint8_t length = 0;
      Take(&length);
      size_t want = kind % 5 == 4 ? static_cast<size_t>(length) + 40 : length;
      while (n < want && n < sizeof bytes && Take(&bytes[n])) ++n;
      break;
    }
  }
  fake.queueResponse(bytes, n);
  uint8_t lie = 0;
  if (kind >= 0xE0 && Take(&lie)) fake.lieAboutResponseLength(lie * 2u);
}

long Hook(const char* fn) {
  uint8_t b = 0;
  const bool transmit = std::strcmp(fn, "SCardTransmit") == 0;
  if (!Take(&b)) {
    if (transmit) {
      static const unsigned char ok[] = {0x90, 0x00};
      fake.queueResponse(ok, sizeof ok);
    }
    return SCARD_S_SUCCESS;
  }
  fake.lieAboutResponseLength(0);
  if (b < 0xB0) {
    if (transmit) ScriptResponse();
    if (std::strcmp(fn, "SCardListReaders") == 0 && b >= 0xA8) fake.lieAboutListLength(b);
    return SCARD_S_SUCCESS;
  }
  if (b < 0xF0) return kFailures[(b - 0xB0) % (sizeof kFailures / sizeof kFailures[0])];
  switch (b & 0x07) {
    case 0:
      fake.setCard(0, 0, nullptr, 0);
      break;
    case 1:
      fake.setCard(1, 1, nullptr, 0);
      break;
    case 2:
      fake.restartService();
      break;
    case 3:
      fake.setProtocol(SCARD_PROTOCOL_T0);
      break;
    default:
      fake.setCard(1, 0, kAtr, sizeof kAtr);
      break;
  }
  if (transmit) ScriptResponse();
  return SCARD_S_SUCCESS;
}

// Runs one operation: it returns or raises one of the library's own failures, never
// anything else.
template <typename F>
void Run(F&& operation) {
  try {
    operation();
  } catch (const EAPSException&) {
  } catch (const ESDException&) {
  } catch (...) {
    std::fprintf(stderr, "an operation raised something that is not a status\n");
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::setenv(kPCSCLibraryVariable, QORX_FAKE_PCSC_PATH, 1);
  void* handle = dlopen(QORX_FAKE_PCSC_PATH, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "cannot load %s: %s\n", QORX_FAKE_PCSC_PATH, dlerror());
    std::abort();
  }
  Bind(handle, "FakePCSC_Reset", &fake.reset);
  Bind(handle, "FakePCSC_SetReaders", &fake.setReaders);
  Bind(handle, "FakePCSC_LieAboutListLength", &fake.lieAboutListLength);
  Bind(handle, "FakePCSC_SetCard", &fake.setCard);
  Bind(handle, "FakePCSC_SetProtocol", &fake.setProtocol);
  Bind(handle, "FakePCSC_QueueResponse", &fake.queueResponse);
  Bind(handle, "FakePCSC_LieAboutResponseLength", &fake.lieAboutResponseLength);
  Bind(handle, "FakePCSC_SetResultHook", &fake.setResultHook);
  Bind(handle, "FakePCSC_RestartService", &fake.restartService);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fake.reset();
  static const char readers[] = "Reader A\0Reader B\0";
  fake.setReaders(readers, sizeof readers);
  fake.setCard(1, 0, kAtr, sizeof kAtr);
  input = data;
  left = size;
  fake.setResultHook(Hook);
  {
    TQorTerminalAppletService service;
    Run([&] { service.GetReaderCount(); });
    Run([&] { service.Open(nullptr); });
    Run([&] { service.GetCardStatus(); });
    Run([&] {
      CardInfo info;
      service.GetCardInfo(info);
      FUZZ_CHECK(info.length <= CardInfo::kMaxAtr);
    });
    Run([&] { service.GetCertificate(); });
    Run([&] { service.CardAuthenticate("2026/12/08"); });
    Run([&] { service.CardVerifySecretCode("1234"); });
    Run([&] { service.SignTransaction(TSDByteArray("Pay 100.00 to 12345-6")); });
    Run([&] { service.GetApplicationStatus(); });
    Run([&] { service.GetPinTryCounter(); });
    Run([&] { service.ChangeSecretCode("1234", "4321"); });
    FUZZ_CHECK(!service.InTransaction());
    Run([&] {
      TSDByteArray challenge("01234567");
      service.SecureChannelInit(&challenge, 1);
      TSDByteArray script;
      script.FromHex("7107860584DA000000");
      service.SecureChannelExecScript(script);
    });
    Run([&] { service.GetCardStatus(); });
    // The report also reads dpkg's file lists, a tenth of a second: it runs for one input
    // length in eight only, so that the card operations get the fuzzer's time.
    if (size % 8 == 7)
      Run([&] {
        DiagnosticReport report;
        BuildDiagnosticReport(service, &report);
        FUZZ_CHECK(report.Length() < DiagnosticReport::kCapacity);
      });
    Run([&] { service.Close(); });
    FUZZ_CHECK(service.Slot() == nullptr && !service.InTransaction());
  }
  fake.setResultHook(nullptr);
  return 0;
}
