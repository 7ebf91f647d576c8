#pragma once

// Control surface of the fake PC/SC library (FakePCSC.cpp). The library exports pcsc-lite's
// entry points, which the slot loads through QORX_PCSC_LIBRARY, and these functions, which a
// test resolves with dlsym to script what the "platform" does.
//
// Function names passed as `fn` are pcsc-lite's: "SCardTransmit", "SCardConnect", ...

extern "C" {

// Back to the initial state: no readers, no card, every call succeeding, nothing recorded.
void FakePCSC_Reset();

// The reader multi-string SCardListReaders hands out, byte for byte (it may be malformed).
void FakePCSC_SetReaders(const char* bytes, unsigned long length);
// When not 0, the filling SCardListReaders call reports this length instead of the truth.
void FakePCSC_LieAboutListLength(unsigned long length);

// Result codes: queued codes are used one per call, in order; when none is queued the
// default applies (0 unless set). A call whose code is not 0 returns it and does nothing
// else (SCardListReaders without a buffer still reports the list's length).
void FakePCSC_QueueResult(const char* fn, long code);
void FakePCSC_SetDefaultResult(const char* fn, long code);
unsigned long FakePCSC_CallCount(const char* fn);
// The last disposition (SCardDisconnect, SCardEndTransaction), initialization
// (SCardReconnect), preferred protocols (SCardConnect), time-out (SCardGetStatusChange),
// scope (SCardEstablishContext) or control code (SCardControl) passed.
unsigned long FakePCSC_LastArgument(const char* fn);

// The card in the reader. Every change of presence is a new card: handles taken before it
// answer SCARD_W_REMOVED_CARD. An ATR longer than 33 bytes is reported with its full length
// while only what fits is written.
void FakePCSC_SetCard(int present, int mute, const unsigned char* atr, unsigned long length);
// The protocol connect and reconnect report (SCARD_PROTOCOL_T0 or SCARD_PROTOCOL_T1).
void FakePCSC_SetProtocol(unsigned long protocol);

// Responses to SCardTransmit, one per call; once the queue is empty the repeating response
// (if set; null clears it) answers, else 6F 00.
void FakePCSC_QueueResponse(const unsigned char* bytes, unsigned long length);
void FakePCSC_SetRepeatingResponse(const unsigned char* bytes, unsigned long length);
// When not 0, SCardTransmit reports this received length instead of the truth.
void FakePCSC_LieAboutResponseLength(unsigned long length);
// What was sent, one entry per SCardTransmit call.
int FakePCSC_SentCount();
unsigned long FakePCSC_Sent(int index, unsigned char* out, unsigned long capacity);
unsigned long FakePCSC_SentProtocol(int index);

// Bytes SCardControl returns.
void FakePCSC_SetControlOutput(const unsigned char* bytes, unsigned long length);

// Contexts established and not released; card handles connected and not disconnected.
int FakePCSC_OpenContexts();
int FakePCSC_OpenCards();

// The service restarts: every context and card handle made so far is unknown to it
// (SCARD_E_INVALID_HANDLE) and no longer counted as open.
void FakePCSC_RestartService();

// When set, decides every call's result code in place of the queued and default ones (the
// function name is pcsc-lite's). It may script the rest of the call first: queue the
// response SCardTransmit hands out, change the card, lie about lengths. Null clears it.
typedef long (*FakePCSC_ResultHook)(const char* fn);
void FakePCSC_SetResultHook(FakePCSC_ResultHook hook);
}
