// A scriptable stand-in for pcsc-lite's client library, loaded by the slot in unit tests.
// Built twice: complete, and without SCardEndTransaction (FAKE_PCSC_WITHOUT_END_TRANSACTION).

#include <PCSC/winscard.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/transport/pcsc/FakePCSCControl.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct FakeState {
  Bytes readers;
  unsigned long listLie = 0;

  std::map<std::string, std::deque<long>> queued;
  std::map<std::string, long> defaults;
  std::map<std::string, unsigned long> calls;
  std::map<std::string, unsigned long> lastArgument;

  SCARDCONTEXT nextContext = 0x1000;
  std::set<SCARDCONTEXT> contexts;
  SCARDHANDLE nextCard = 0x2000;
  std::map<SCARDHANDLE, unsigned> cards;  // handle -> card generation it was made for

  bool present = false;
  bool mute = false;
  Bytes atr;
  unsigned generation = 0;
  unsigned long protocol = SCARD_PROTOCOL_T1;

  std::deque<Bytes> responses;
  bool repeating = false;
  Bytes repeatingResponse;
  unsigned long responseLie = 0;
  std::vector<Bytes> sent;
  std::vector<unsigned long> sentProtocols;

  Bytes controlOutput;
  FakePCSC_ResultHook hook = nullptr;
};

FakeState& S() {
  static FakeState* state = new FakeState();
  return *state;
}

// Counts the call and yields its scripted result code.
long Take(const char* fn) {
  FakeState& s = S();
  ++s.calls[fn];
  if (s.hook != nullptr) return s.hook(fn);
  auto& queue = s.queued[fn];
  if (!queue.empty()) {
    long code = queue.front();
    queue.pop_front();
    return code;
  }
  auto it = s.defaults.find(fn);
  return it == s.defaults.end() ? SCARD_S_SUCCESS : it->second;
}

// SCARD_S_SUCCESS for a handle of the current card.
long CheckCard(SCARDHANDLE card) {
  FakeState& s = S();
  auto it = s.cards.find(card);
  if (it == s.cards.end()) return SCARD_E_INVALID_HANDLE;
  if (it->second != s.generation || !s.present) return SCARD_W_REMOVED_CARD;
  return SCARD_S_SUCCESS;
}

Bytes Copy(const void* bytes, unsigned long length) {
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  return p != nullptr ? Bytes(p, p + length) : Bytes();
}

}  // namespace

extern "C" {

// ---- pcsc-lite entry points ----

LONG SCardEstablishContext(DWORD scope, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
  long rv = Take("SCardEstablishContext");
  S().lastArgument["SCardEstablishContext"] = scope;
  if (rv != SCARD_S_SUCCESS) return rv;
  if (context == nullptr) return SCARD_E_INVALID_PARAMETER;
  *context = ++S().nextContext;
  S().contexts.insert(*context);
  return SCARD_S_SUCCESS;
}

LONG SCardReleaseContext(SCARDCONTEXT context) {
  long rv = Take("SCardReleaseContext");
  if (rv != SCARD_S_SUCCESS) return rv;
  return S().contexts.erase(context) == 1 ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG SCardListReaders(SCARDCONTEXT context, LPCSTR, LPSTR readers, LPDWORD length) {
  long rv = Take("SCardListReaders");
  FakeState& s = S();
  if (length == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (readers == nullptr) {
    *length = s.readers.size();
    return rv;
  }
  if (rv != SCARD_S_SUCCESS) return rv;
  if (s.contexts.count(context) == 0) return SCARD_E_INVALID_HANDLE;
  if (*length < s.readers.size()) {
    *length = s.readers.size();
    return SCARD_E_INSUFFICIENT_BUFFER;
  }
  if (!s.readers.empty()) std::memcpy(readers, s.readers.data(), s.readers.size());
  *length = s.listLie != 0 ? s.listLie : s.readers.size();
  return SCARD_S_SUCCESS;
}

LONG SCardConnect(SCARDCONTEXT context, LPCSTR, DWORD, DWORD preferred, LPSCARDHANDLE card,
                  LPDWORD protocol) {
  long rv = Take("SCardConnect");
  FakeState& s = S();
  s.lastArgument["SCardConnect"] = preferred;
  if (rv != SCARD_S_SUCCESS) return rv;
  if (s.contexts.count(context) == 0) return SCARD_E_INVALID_HANDLE;
  if (!s.present) return SCARD_E_NO_SMARTCARD;
  if (s.mute) return SCARD_W_UNRESPONSIVE_CARD;
  *card = ++s.nextCard;
  s.cards[*card] = s.generation;
  *protocol = s.protocol;
  return SCARD_S_SUCCESS;
}

LONG SCardReconnect(SCARDHANDLE card, DWORD, DWORD, DWORD initialization, LPDWORD protocol) {
  long rv = Take("SCardReconnect");
  FakeState& s = S();
  s.lastArgument["SCardReconnect"] = initialization;
  if (rv != SCARD_S_SUCCESS) return rv;
  rv = CheckCard(card);
  if (rv != SCARD_S_SUCCESS) return rv;
  if (s.mute) return SCARD_W_UNRESPONSIVE_CARD;
  *protocol = s.protocol;
  return SCARD_S_SUCCESS;
}

LONG SCardDisconnect(SCARDHANDLE card, DWORD disposition) {
  long rv = Take("SCardDisconnect");
  S().lastArgument["SCardDisconnect"] = disposition;
  if (rv != SCARD_S_SUCCESS) return rv;
  return S().cards.erase(card) == 1 ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG SCardBeginTransaction(SCARDHANDLE card) {
  long rv = Take("SCardBeginTransaction");
  return rv != SCARD_S_SUCCESS ? rv : CheckCard(card);
}

#ifndef FAKE_PCSC_WITHOUT_END_TRANSACTION
LONG SCardEndTransaction(SCARDHANDLE card, DWORD disposition) {
  long rv = Take("SCardEndTransaction");
  S().lastArgument["SCardEndTransaction"] = disposition;
  return rv != SCARD_S_SUCCESS ? rv : CheckCard(card);
}
#endif

LONG SCardStatus(SCARDHANDLE card, LPSTR, LPDWORD, LPDWORD state, LPDWORD protocol, LPBYTE atr,
                 LPDWORD atrLength) {
  long rv = Take("SCardStatus");
  FakeState& s = S();
  if (rv != SCARD_S_SUCCESS) return rv;
  rv = CheckCard(card);
  if (rv != SCARD_S_SUCCESS) return rv;
  if (state != nullptr) *state = SCARD_PRESENT | SCARD_POWERED | SCARD_SPECIFIC;
  if (protocol != nullptr) *protocol = s.protocol;
  if (atr != nullptr && atrLength != nullptr) {
    if (!s.atr.empty()) std::memcpy(atr, s.atr.data(), std::min<size_t>(s.atr.size(), *atrLength));
    *atrLength = s.atr.size();
  }
  return SCARD_S_SUCCESS;
}

LONG SCardGetStatusChange(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                          DWORD count) {
  long rv = Take("SCardGetStatusChange");
  FakeState& s = S();
  s.lastArgument["SCardGetStatusChange"] = timeout;
  if (rv != SCARD_S_SUCCESS) return rv;
  if (s.contexts.count(context) == 0) return SCARD_E_INVALID_HANDLE;
  for (DWORD i = 0; i < count; ++i) {
    SCARD_READERSTATE& r = states[i];
    r.dwEventState = SCARD_STATE_CHANGED;
    r.cbAtr = 0;
    if (s.present) {
      r.dwEventState |= SCARD_STATE_PRESENT | (s.mute ? SCARD_STATE_MUTE : 0);
      r.cbAtr = s.atr.size();
      if (!s.atr.empty())
        std::memcpy(r.rgbAtr, s.atr.data(), std::min(s.atr.size(), sizeof r.rgbAtr));
    } else {
      r.dwEventState |= SCARD_STATE_EMPTY;
    }
  }
  return SCARD_S_SUCCESS;
}

LONG SCardTransmit(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci, LPCBYTE send,
                   DWORD sendLength, SCARD_IO_REQUEST*, LPBYTE receive, LPDWORD receiveLength) {
  long rv = Take("SCardTransmit");
  FakeState& s = S();
  if (rv != SCARD_S_SUCCESS) return rv;
  rv = CheckCard(card);
  if (rv != SCARD_S_SUCCESS) return rv;
  if (sendPci == nullptr || send == nullptr || receive == nullptr || receiveLength == nullptr)
    return SCARD_E_INVALID_PARAMETER;
  s.sent.push_back(Copy(send, sendLength));
  s.sentProtocols.push_back(sendPci->dwProtocol);

  Bytes response = {0x6F, 0x00};
  if (!s.responses.empty()) {
    response = s.responses.front();
    s.responses.pop_front();
  } else if (s.repeating) {
    response = s.repeatingResponse;
  }
  if (response.size() > *receiveLength) return SCARD_E_INSUFFICIENT_BUFFER;
  if (!response.empty()) std::memcpy(receive, response.data(), response.size());
  *receiveLength = s.responseLie != 0 ? s.responseLie : response.size();
  return SCARD_S_SUCCESS;
}

LONG SCardControl(SCARDHANDLE card, DWORD code, LPCVOID, DWORD, LPVOID out, DWORD capacity,
                  LPDWORD returned) {
  long rv = Take("SCardControl");
  FakeState& s = S();
  s.lastArgument["SCardControl"] = code;
  if (returned != nullptr) *returned = 0;
  if (rv != SCARD_S_SUCCESS) return rv;
  if (s.cards.count(card) == 0) return SCARD_E_INVALID_HANDLE;
  if (s.controlOutput.size() > capacity) return SCARD_E_INSUFFICIENT_BUFFER;
  if (!s.controlOutput.empty()) std::memcpy(out, s.controlOutput.data(), s.controlOutput.size());
  if (returned != nullptr) *returned = s.controlOutput.size();
  return SCARD_S_SUCCESS;
}

LONG SCardGetAttrib(SCARDHANDLE, DWORD, LPBYTE, LPDWORD) {
  long rv = Take("SCardGetAttrib");
  return rv != SCARD_S_SUCCESS ? rv : SCARD_E_UNSUPPORTED_FEATURE;
}

// ---- control surface ----

void FakePCSC_Reset() {
  S() = FakeState();
}

void FakePCSC_SetReaders(const char* bytes, unsigned long length) {
  S().readers = Copy(bytes, length);
}

void FakePCSC_LieAboutListLength(unsigned long length) {
  S().listLie = length;
}

void FakePCSC_QueueResult(const char* fn, long code) {
  S().queued[fn].push_back(code);
}

void FakePCSC_SetDefaultResult(const char* fn, long code) {
  S().defaults[fn] = code;
}

unsigned long FakePCSC_CallCount(const char* fn) {
  return S().calls[fn];
}

unsigned long FakePCSC_LastArgument(const char* fn) {
  return S().lastArgument[fn];
}

void FakePCSC_SetCard(int present, int mute, const unsigned char* atr, unsigned long length) {
  FakeState& s = S();
  if (s.present != (present != 0)) ++s.generation;
  s.present = present != 0;
  s.mute = mute != 0;
  s.atr = Copy(atr, length);
}

void FakePCSC_SetProtocol(unsigned long protocol) {
  S().protocol = protocol;
}

void FakePCSC_QueueResponse(const unsigned char* bytes, unsigned long length) {
  S().responses.push_back(Copy(bytes, length));
}

void FakePCSC_SetRepeatingResponse(const unsigned char* bytes, unsigned long length) {
  S().repeating = bytes != nullptr;
  S().repeatingResponse = Copy(bytes, length);
}

void FakePCSC_LieAboutResponseLength(unsigned long length) {
  S().responseLie = length;
}

int FakePCSC_SentCount() {
  return static_cast<int>(S().sent.size());
}

unsigned long FakePCSC_Sent(int index, unsigned char* out, unsigned long capacity) {
  FakeState& s = S();
  if (index < 0 || static_cast<size_t>(index) >= s.sent.size()) return 0;
  const Bytes& b = s.sent[static_cast<size_t>(index)];
  if (out != nullptr && !b.empty())
    std::memcpy(out, b.data(), std::min<size_t>(b.size(), capacity));
  return b.size();
}

unsigned long FakePCSC_SentProtocol(int index) {
  FakeState& s = S();
  if (index < 0 || static_cast<size_t>(index) >= s.sentProtocols.size()) return 0;
  return s.sentProtocols[static_cast<size_t>(index)];
}

void FakePCSC_SetControlOutput(const unsigned char* bytes, unsigned long length) {
  S().controlOutput = Copy(bytes, length);
}

int FakePCSC_OpenContexts() {
  return static_cast<int>(S().contexts.size());
}

int FakePCSC_OpenCards() {
  return static_cast<int>(S().cards.size());
}

void FakePCSC_RestartService() {
  S().contexts.clear();
  S().cards.clear();
}

void FakePCSC_SetResultHook(FakePCSC_ResultHook hook) {
  S().hook = hook;
}

}  // extern "C"
