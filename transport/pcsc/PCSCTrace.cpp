#include "transport/pcsc/PCSCTrace.h"

#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>

#include "core/ByteReader.h"

namespace qorx::pcsc {

namespace {

// ---- what the trace writes to, and what it knows of the open cards ----

struct CardRecord {
  std::string reader;
  bool secretAnswer = false;  // the last command's answer is withheld, and GET RESPONSE's too
};

struct TraceState {
  std::mutex mutex;
  FILE* out = nullptr;
  Functions real{};
  std::map<SCARDHANDLE, CardRecord> cards;
};

// Never destroyed, like the loader's table: a service closed during static destruction may
// still write its last lines.
TraceState& State() {
  static TraceState* state = new TraceState();
  return *state;
}

const Functions& Real() {
  return State().real;
}

void AppendHex(std::string& out, const uint8_t* bytes, size_t length) {
  static const char kDigits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < length; ++i) {
    if (!out.empty() && out.back() != ' ' && out.back() != '[') out += ' ';
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0x0F];
  }
}

std::string Withheld(size_t length) {
  return "[" + std::to_string(length) + " bytes]";
}

const char* ResultName(LONG rv) {
  switch (static_cast<unsigned long>(rv) & 0xFFFFFFFFUL) {
    case 0x00000000UL:
      return "success";
    case 0x80100002UL:
      return "cancelled";
    case 0x80100008UL:
      return "insufficient buffer";
    case 0x80100009UL:
      return "unknown reader";
    case 0x8010000AUL:
      return "timeout";
    case 0x8010000BUL:
      return "sharing violation";
    case 0x8010000CUL:
      return "no smart card";
    case 0x80100017UL:
      return "reader unavailable";
    case 0x8010001DUL:
      return "no service";
    case 0x8010002EUL:
      return "no readers available";
    case 0x80100066UL:
      return "unresponsive card";
    case 0x80100067UL:
      return "unpowered card";
    case 0x80100068UL:
      return "reset card";
    case 0x80100069UL:
      return "removed card";
    default:
      return "";
  }
}

std::string Quoted(const char* text) {
  return text == nullptr ? std::string("(none)") : "\"" + std::string(text) + "\"";
}

std::string Number(unsigned long value, bool hex = false) {
  char text[24];
  std::snprintf(text, sizeof text, hex ? "0x%lX" : "%lu", value);
  return text;
}

// The reader of an open card, as it was connected ("" when the trace did not see it).
std::string ReaderOf(SCARDHANDLE card) {
  TraceState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  const auto it = s.cards.find(card);
  return it == s.cards.end() ? std::string() : it->second.reader;
}

// One line: "2026-12-08T09:17:05.123456Z 0.412ms SCardTransmit <details> -> 0x00000000 success".
class Call {
 public:
  explicit Call(const char* function)
      : function_(function), start_(std::chrono::steady_clock::now()) {
    gettimeofday(&wall_, nullptr);
  }

  LONG Done(LONG rv, const std::string& details) const {
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_)
            .count();
    struct tm utc;
    const time_t seconds = wall_.tv_sec;
    gmtime_r(&seconds, &utc);
    char head[96];
    std::snprintf(head, sizeof head, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ %.3fms %s ",
                  utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                  utc.tm_sec, static_cast<long>(wall_.tv_usec), ms, function_);
    char result[48];
    std::snprintf(result, sizeof result, " -> 0x%08lX %s\n",
                  static_cast<unsigned long>(rv) & 0xFFFFFFFFUL, ResultName(rv));
    const std::string line = head + details + result;
    TraceState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::fputs(line.c_str(), s.out);
    std::fflush(s.out);
    return rv;
  }

 private:
  const char* function_;
  std::chrono::steady_clock::time_point start_;
  struct timeval wall_;
};

// ---- the entry points ----

LONG TraceEstablishContext(DWORD scope, LPCVOID r1, LPCVOID r2, LPSCARDCONTEXT context) {
  const Call call("SCardEstablishContext");
  const LONG rv = Real().EstablishContext(scope, r1, r2, context);
  std::string details = "scope " + Number(scope);
  if (rv == SCARD_S_SUCCESS && context != nullptr)
    details += " context " + Number(static_cast<unsigned long>(*context), true);
  return call.Done(rv, details);
}

LONG TraceReleaseContext(SCARDCONTEXT context) {
  const Call call("SCardReleaseContext");
  return call.Done(Real().ReleaseContext(context),
                   "context " + Number(static_cast<unsigned long>(context), true));
}

// The names of a reader multi-string, read no further than `length`.
std::string ReaderList(const char* list, DWORD length) {
  std::string out;
  size_t start = 0;
  for (size_t i = 0; i < length; ++i) {
    if (list[i] != '\0') continue;
    if (i > start)
      out += (out.empty() ? "" : ", ") + Quoted(std::string(list + start, i - start).c_str());
    start = i + 1;
  }
  return out.empty() ? "none" : out;
}

LONG TraceListReaders(SCARDCONTEXT context, LPCSTR groups, LPSTR readers, LPDWORD length) {
  const Call call("SCardListReaders");
  // With SCARD_AUTOALLOCATE `readers` is a pointer to the list's pointer: it is not read.
  const bool listGiven = readers != nullptr && length != nullptr && *length != SCARD_AUTOALLOCATE;
  const LONG rv = Real().ListReaders(context, groups, readers, length);
  std::string details = "context " + Number(static_cast<unsigned long>(context), true);
  if (rv == SCARD_S_SUCCESS && length != nullptr) {
    details += " length " + Number(*length);
    if (listGiven) details += ": " + ReaderList(readers, *length);
  }
  return call.Done(rv, details);
}

const char* ProtocolName(DWORD protocol) {
  switch (protocol) {
    case SCARD_PROTOCOL_T0:
      return "T=0";
    case SCARD_PROTOCOL_T1:
      return "T=1";
    case SCARD_PROTOCOL_RAW:
      return "raw";
    case SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1:
      return "T=0|T=1";
    default:
      return "?";
  }
}

LONG TraceConnect(SCARDCONTEXT context, LPCSTR reader, DWORD share, DWORD protocols,
                  LPSCARDHANDLE card, LPDWORD active) {
  const Call call("SCardConnect");
  const LONG rv = Real().Connect(context, reader, share, protocols, card, active);
  std::string details =
      Quoted(reader) + " share " + Number(share) + " protocols " + ProtocolName(protocols);
  if (rv == SCARD_S_SUCCESS && card != nullptr) {
    details += " card " + Number(static_cast<unsigned long>(*card), true);
    if (active != nullptr) details += std::string(" ") + ProtocolName(*active);
    TraceState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.cards[*card] = CardRecord{reader != nullptr ? reader : "", false};
  }
  return call.Done(rv, details);
}

std::string CardDetails(SCARDHANDLE card) {
  return Quoted(ReaderOf(card).c_str()) + " card " + Number(static_cast<unsigned long>(card), true);
}

LONG TraceReconnect(SCARDHANDLE card, DWORD share, DWORD protocols, DWORD initialization,
                    LPDWORD active) {
  const Call call("SCardReconnect");
  const LONG rv = Real().Reconnect(card, share, protocols, initialization, active);
  std::string details = CardDetails(card) + " share " + Number(share) + " protocols " +
                        ProtocolName(protocols) + " initialization " + Number(initialization);
  if (rv == SCARD_S_SUCCESS && active != nullptr)
    details += std::string(" ") + ProtocolName(*active);
  return call.Done(rv, details);
}

LONG TraceDisconnect(SCARDHANDLE card, DWORD disposition) {
  const Call call("SCardDisconnect");
  const std::string details = CardDetails(card) + " disposition " + Number(disposition);
  const LONG rv = Real().Disconnect(card, disposition);
  if (rv == SCARD_S_SUCCESS) {
    TraceState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.cards.erase(card);
  }
  return call.Done(rv, details);
}

LONG TraceBeginTransaction(SCARDHANDLE card) {
  const Call call("SCardBeginTransaction");
  return call.Done(Real().BeginTransaction(card), CardDetails(card));
}

LONG TraceEndTransaction(SCARDHANDLE card, DWORD disposition) {
  const Call call("SCardEndTransaction");
  return call.Done(Real().EndTransaction(card, disposition),
                   CardDetails(card) + " disposition " + Number(disposition));
}

LONG TraceStatus(SCARDHANDLE card, LPSTR names, LPDWORD namesLength, LPDWORD state,
                 LPDWORD protocol, LPBYTE atr, LPDWORD atrLength) {
  const Call call("SCardStatus");
  // With SCARD_AUTOALLOCATE the buffers are pointers to pointers: nothing of them is read.
  const bool atrGiven = atr != nullptr && atrLength != nullptr && *atrLength != SCARD_AUTOALLOCATE;
  const LONG rv = Real().Status(card, names, namesLength, state, protocol, atr, atrLength);
  std::string details = CardDetails(card);
  if (rv == SCARD_S_SUCCESS) {
    if (state != nullptr) details += " state " + Number(*state, true);
    if (protocol != nullptr) details += std::string(" ") + ProtocolName(*protocol);
    if (atrGiven && *atrLength <= MAX_ATR_SIZE) {
      details += " ATR ";
      AppendHex(details, atr, *atrLength);
    }
  }
  return call.Done(rv, details);
}

LONG TraceGetStatusChange(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                          DWORD count) {
  const Call call("SCardGetStatusChange");
  const LONG rv = Real().GetStatusChange(context, timeout, states, count);
  std::string details = "timeout " + Number(timeout);
  for (DWORD i = 0; states != nullptr && i < count; ++i)
    details += " " + Quoted(states[i].szReader) + " " + Number(states[i].dwCurrentState, true) +
               "->" + Number(states[i].dwEventState, true);
  return call.Done(rv, details);
}

LONG TraceControl(SCARDHANDLE card, DWORD code, LPCVOID in, DWORD inLength, LPVOID out,
                  DWORD outSize, LPDWORD returned) {
  const Call call("SCardControl");
  const LONG rv = Real().Control(card, code, in, inLength, out, outSize, returned);
  std::string details =
      CardDetails(card) + " code " + Number(code, true) + " > " + Withheld(inLength);
  if (rv == SCARD_S_SUCCESS && returned != nullptr) details += " < " + Withheld(*returned);
  return call.Done(rv, details);
}

LONG TraceGetAttrib(SCARDHANDLE card, DWORD attribute, LPBYTE value, LPDWORD length) {
  const Call call("SCardGetAttrib");
  const LONG rv = Real().GetAttrib(card, attribute, value, length);
  std::string details = CardDetails(card) + " attribute " + Number(attribute, true);
  if (rv == SCARD_S_SUCCESS && length != nullptr) details += " length " + Number(*length);
  return call.Done(rv, details);
}

LONG TraceTransmit(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci, LPCBYTE command,
                   DWORD commandLength, SCARD_IO_REQUEST* receivePci, LPBYTE response,
                   LPDWORD responseLength) {
  const Call call("SCardTransmit");
  const LONG rv =
      Real().Transmit(card, sendPci, command, commandLength, receivePci, response, responseLength);
  const size_t sent = command != nullptr ? commandLength : 0;
  const bool secret = CommandIsSecret(command, sent);
  const bool getResponse = sent >= 2 && command[1] == 0xC0;
  bool secretAnswer = secret;
  std::string reader;
  {
    TraceState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto it = s.cards.find(card);
    if (it != s.cards.end()) {
      reader = it->second.reader;
      // What GET RESPONSE fetches belongs to the command before it.
      secretAnswer = secret || (getResponse && it->second.secretAnswer);
      it->second.secretAnswer = secretAnswer;
    }
  }
  std::string details = Quoted(reader.c_str()) + " > " + DescribeCommand(command, sent, secret);
  if (rv == SCARD_S_SUCCESS && response != nullptr && responseLength != nullptr)
    details += " < " + DescribeResponse(response, *responseLength, secretAnswer);
  return call.Done(rv, details);
}

// ---- where the trace goes ----

bool OpenSink() {
  const char* target = std::getenv(kPCSCTraceVariable);
  if (target == nullptr || *target == '\0') return false;
  TraceState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.out != nullptr) return true;  // the library was loaded again (tests): same file
  if (std::strcmp(target, "stderr") == 0) {
    s.out = stderr;
    return true;
  }
  s.out = std::fopen(target, "a");
  if (s.out == nullptr) {
    std::fprintf(stderr, "qorx: no PC/SC trace: cannot open %s (%s)\n", target,
                 std::strerror(errno));
    return false;
  }
  return true;
}

}  // namespace

bool CommandIsSecret(const uint8_t* apdu, size_t length) noexcept {
  if (apdu == nullptr || length < 2) return false;
  const uint8_t cla = apdu[0];
  const uint8_t ins = apdu[1];
  if (cla == 0xFF) return false;  // the reader's own pseudo-commands
  // Secure messaging: b4-b3 of a first interindustry class (and of the proprietary classes
  // that follow it, as GlobalPlatform's 84 does), b6 of a further interindustry class.
  const bool secureMessaging = (cla & 0xC0) == 0x40 ? (cla & 0x20) != 0 : (cla & 0x0C) != 0;
  if (secureMessaging) return true;
  switch (ins & 0xFE) {  // the odd INS of each pair is its BER-TLV form
    case 0x20:           // VERIFY
    case 0x24:           // CHANGE REFERENCE DATA
    case 0x26:           // DISABLE VERIFICATION REQUIREMENT
    case 0x28:           // ENABLE VERIFICATION REQUIREMENT
    case 0x2A:           // PERFORM SECURITY OPERATION
    case 0x2C:           // RESET RETRY COUNTER
    case 0x46:           // GENERATE ASYMMETRIC KEY PAIR
    case 0x82:           // EXTERNAL / MUTUAL AUTHENTICATE
    case 0x86:           // GENERAL AUTHENTICATE
    case 0xC2:           // ENVELOPE
    case 0xD8:           // PUT KEY
    case 0xDA:           // PUT DATA
    case 0xE2:           // STORE DATA
      return true;
    default:
      return false;
  }
}

std::string DescribeCommand(const uint8_t* apdu, size_t length, bool secret) {
  std::string out;
  if (length <= 4 || !secret) {
    AppendHex(out, apdu, length);
    return out;
  }
  AppendHex(out, apdu, 4);
  // Le alone (a short or an extended case 2) carries nothing to withhold.
  const size_t bodyLength = length - 4;
  if (bodyLength == 1 || (bodyLength == 3 && apdu[4] == 0)) {
    AppendHex(out, apdu + 4, bodyLength);
    return out;
  }
  // Lc and Le stay readable. A body that is neither a short nor an extended case goes whole.
  ByteReader body(apdu + 4, bodyLength);
  uint8_t lc = 0;
  uint16_t extended = 0;
  size_t lcBytes = 1;
  size_t dataLength = 0;
  body.ReadU8(&lc);
  if (lc != 0) {
    dataLength = lc;
  } else if (body.ReadU16(&extended)) {
    lcBytes = 3;
    dataLength = extended;
  }
  const uint8_t* data = nullptr;
  const bool wellFormed = dataLength > 0 && body.ReadBytes(dataLength, &data) &&
                          body.Remaining() <= (lcBytes == 1 ? 1u : 2u);
  if (!wellFormed) return out + " " + Withheld(bodyLength);
  AppendHex(out, apdu + 4, lcBytes);
  out += " " + Withheld(dataLength);
  AppendHex(out, apdu + length - body.Remaining(), body.Remaining());
  return out;
}

std::string DescribeResponse(const uint8_t* response, size_t length, bool secret) {
  std::string out;
  if (length < 2) {
    AppendHex(out, response, length);
    return out + " (no status word)";
  }
  const size_t data = length - 2;
  if (secret && data > 0) {
    out = Withheld(data);
  } else {
    AppendHex(out, response, data);
  }
  char sw[16];
  std::snprintf(sw, sizeof sw, "%sSW %02X%02X", out.empty() ? "" : " ", response[data],
                response[data + 1]);
  return out + sw;
}

Functions Traced(const Functions& real) {
  if (!OpenSink()) return real;
  State().real = real;
  Functions t{};
#define QORX_PCSC_TRACED(name) t.name = Trace##name;
  QORX_PCSC_ENTRIES(QORX_PCSC_TRACED)
#undef QORX_PCSC_TRACED
  return t;
}

}  // namespace qorx::pcsc
