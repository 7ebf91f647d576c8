#pragma once

// Test-side handle on the fake PC/SC library: points the slot's loader at it and resolves the
// control functions of FakePCSCControl.h from the very same loaded copy.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/Exceptions.h"
#include "tests/support/Seams.h"
#include "tests/support/TestSupport.h"
#include "tests/transport/pcsc/FakePCSCControl.h"
#include "transport/pcsc/PCSCLoader.h"

namespace qorx::testing {

// Makes the next PC/SC use load `path` (a fake variant, or a file that does not exist).
inline void UsePCSCLibrary(const char* path) {
  ::setenv(kPCSCLibraryVariable, path, 1);
  ResetPCSCLibraryForTesting();
}

class FakePCSC {
 public:
  // Keeps its own reference on the library, so its state survives the loader's resets.
  explicit FakePCSC(const char* path) : handle_(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {
    if (handle_ == nullptr) {
      ADD_FAILURE() << "cannot load " << path << ": " << dlerror();
      return;
    }
    Bind("FakePCSC_Reset", &reset_);
    Bind("FakePCSC_SetReaders", &setReaders_);
    Bind("FakePCSC_LieAboutListLength", &lieAboutListLength_);
    Bind("FakePCSC_QueueResult", &queueResult_);
    Bind("FakePCSC_SetDefaultResult", &setDefaultResult_);
    Bind("FakePCSC_CallCount", &callCount_);
    Bind("FakePCSC_LastArgument", &lastArgument_);
    Bind("FakePCSC_SetCard", &setCard_);
    Bind("FakePCSC_SetProtocol", &setProtocol_);
    Bind("FakePCSC_QueueResponse", &queueResponse_);
    Bind("FakePCSC_SetRepeatingResponse", &setRepeatingResponse_);
    Bind("FakePCSC_LieAboutResponseLength", &lieAboutResponseLength_);
    Bind("FakePCSC_SentCount", &sentCount_);
    Bind("FakePCSC_Sent", &sent_);
    Bind("FakePCSC_SentProtocol", &sentProtocol_);
    Bind("FakePCSC_SetControlOutput", &setControlOutput_);
    Bind("FakePCSC_OpenContexts", &openContexts_);
    Bind("FakePCSC_OpenCards", &openCards_);
    Bind("FakePCSC_RestartService", &restartService_);
    Bind("FakePCSC_SetResultHook", &setResultHook_);
  }
  FakePCSC(const FakePCSC&) = delete;
  FakePCSC& operator=(const FakePCSC&) = delete;
  // Never closed: the loader may still hold the library, and a test binary ends soon anyway.

  bool Loaded() const { return handle_ != nullptr; }

  void Reset() { reset_(); }
  void SetReaders(const std::string& multiString) {
    setReaders_(multiString.data(), multiString.size());
  }
  void LieAboutListLength(unsigned long length) { lieAboutListLength_(length); }
  void QueueResult(const char* fn, long code) { queueResult_(fn, code); }
  void SetDefaultResult(const char* fn, long code) { setDefaultResult_(fn, code); }
  unsigned long CallCount(const char* fn) { return callCount_(fn); }
  unsigned long LastArgument(const char* fn) { return lastArgument_(fn); }
  void InsertCard(const std::vector<unsigned char>& atr) { setCard_(1, 0, atr.data(), atr.size()); }
  void InsertMuteCard() { setCard_(1, 1, nullptr, 0); }
  void RemoveCard() { setCard_(0, 0, nullptr, 0); }
  void SetProtocol(unsigned long protocol) { setProtocol_(protocol); }
  void QueueResponse(const std::vector<unsigned char>& bytes) {
    queueResponse_(bytes.data(), bytes.size());
  }
  void SetRepeatingResponse(const std::vector<unsigned char>& bytes) {
    setRepeatingResponse_(bytes.data(), bytes.size());
  }
  void LieAboutResponseLength(unsigned long length) { lieAboutResponseLength_(length); }
  int SentCount() { return sentCount_(); }
  std::vector<unsigned char> Sent(int index) {
    std::vector<unsigned char> bytes(sent_(index, nullptr, 0));
    sent_(index, bytes.data(), bytes.size());
    return bytes;
  }
  unsigned long SentProtocol(int index) { return sentProtocol_(index); }
  void SetControlOutput(const std::vector<unsigned char>& bytes) {
    setControlOutput_(bytes.data(), bytes.size());
  }
  int OpenContexts() { return openContexts_(); }
  int OpenCards() { return openCards_(); }
  void RestartService() { restartService_(); }
  void SetResultHook(FakePCSC_ResultHook hook) { setResultHook_(hook); }

 private:
  template <typename Fn>
  void Bind(const char* name, Fn* out) {
    void* symbol = dlsym(handle_, name);
    if (symbol == nullptr) ADD_FAILURE() << "fake PC/SC lacks " << name;
    *out = reinterpret_cast<Fn>(symbol);
  }

  void* handle_;
  decltype(&FakePCSC_Reset) reset_ = nullptr;
  decltype(&FakePCSC_SetReaders) setReaders_ = nullptr;
  decltype(&FakePCSC_LieAboutListLength) lieAboutListLength_ = nullptr;
  decltype(&FakePCSC_QueueResult) queueResult_ = nullptr;
  decltype(&FakePCSC_SetDefaultResult) setDefaultResult_ = nullptr;
  decltype(&FakePCSC_CallCount) callCount_ = nullptr;
  decltype(&FakePCSC_LastArgument) lastArgument_ = nullptr;
  decltype(&FakePCSC_SetCard) setCard_ = nullptr;
  decltype(&FakePCSC_SetProtocol) setProtocol_ = nullptr;
  decltype(&FakePCSC_QueueResponse) queueResponse_ = nullptr;
  decltype(&FakePCSC_SetRepeatingResponse) setRepeatingResponse_ = nullptr;
  decltype(&FakePCSC_LieAboutResponseLength) lieAboutResponseLength_ = nullptr;
  decltype(&FakePCSC_SentCount) sentCount_ = nullptr;
  decltype(&FakePCSC_Sent) sent_ = nullptr;
  decltype(&FakePCSC_SentProtocol) sentProtocol_ = nullptr;
  decltype(&FakePCSC_SetControlOutput) setControlOutput_ = nullptr;
  decltype(&FakePCSC_OpenContexts) openContexts_ = nullptr;
  decltype(&FakePCSC_OpenCards) openCards_ = nullptr;
  decltype(&FakePCSC_RestartService) restartService_ = nullptr;
  decltype(&FakePCSC_SetResultHook) setResultHook_ = nullptr;
};

using ::qorx::test::CatchSD;
using ::qorx::test::Raised;

// The complete fake, shared by every test of a binary and reset before each test.
inline FakePCSC& Fake() {
  static FakePCSC* fake = new FakePCSC(QORX_FAKE_PCSC_PATH);
  return *fake;
}

}  // namespace qorx::testing
