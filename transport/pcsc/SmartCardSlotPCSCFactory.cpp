// The PC/SC readers: their list, and the factory that makes a slot for each.
#include <cstring>
#include <memory>

#include "core/ByteReader.h"
#include "core/Exceptions.h"
#include "transport/pcsc/PCSCLibrary.h"
#include "transport/pcsc/SlotResults.h"
#include "transport/pcsc/SmartCardSlotPCSC.h"

namespace qorx {
namespace {

constexpr const char* kUnit = unit::kSmartCardSlotPCSC;

// A context private to one enumeration, released whichever way the enumeration ends.
class ScopedContext {
 public:
  explicit ScopedContext(const pcsc::Functions& lib) : lib_(lib) {
    SCARDCONTEXT context = 0;
    pcsc::CheckPCSCResult(lib_.EstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context),
                          "SCardEstablishContext()", true);
    context_ = context;
  }
  ~ScopedContext() { lib_.ReleaseContext(context_); }
  ScopedContext(const ScopedContext&) = delete;
  ScopedContext& operator=(const ScopedContext&) = delete;
  SCARDCONTEXT Get() const noexcept { return context_; }

 private:
  const pcsc::Functions& lib_;
  SCARDCONTEXT context_ = 0;
};

// Number of names in a PC/SC multi-string of `length` bytes. The bytes come from the
// platform: a name that runs to the end without its NUL makes the list malformed (0xC500)
// instead of being read past.
int CountNames(const uint8_t* names, size_t length) {
  ByteReader reader(names, length);
  int count = 0;
  uint8_t c = 0;
  while (reader.PeekU8(&c) && c != 0) {
    do {
      if (!reader.ReadU8(&c)) QORX_RAISE(sd::kMalformed, kUnit);
    } while (c != 0);
    ++count;
  }
  return count;
}

}  // namespace

TSDSmartCardSlotPCSCFactory* TSDSmartCardSlotPCSCFactory::Instance() {
  static TSDSmartCardSlotPCSCFactory* instance = new TSDSmartCardSlotPCSCFactory();
  return instance;
}

int TSDSmartCardSlotPCSCFactory::EnumerateNames(char* buffer, int* size) {
  if (size == nullptr) QORX_RAISE(sd::kInvalidArgument, kUnit);
  pcsc::AskPCSCNotToWait();
  const pcsc::Functions& lib = pcsc::Load();
  std::unique_ptr<ScopedContext> context(new ScopedContext(lib));

  DWORD length = 0;
  LONG rv = lib.ListReaders(context->Get(), nullptr, nullptr, &length);
  // The list changes nothing on the card: a service that went away under the context (a
  // restart between our two calls) is asked once more through a new one.
  if (pcsc::MeansServiceGone(rv)) {
    context.reset();
    context.reset(new ScopedContext(lib));
    length = 0;
    rv = lib.ListReaders(context->Get(), nullptr, nullptr, &length);
  }
  int count = 0;
  // No readers: whatever the listing reported (pcsc-lite says SCARD_E_NO_READERS_AVAILABLE).
  if (length != 0) {
    pcsc::CheckPCSCResult(rv, "SCardListReaders()", true);
    if (length > static_cast<DWORD>(kMaxReaderList)) QORX_RAISE(sd::kLength, kUnit);
    TSDByteArray names(static_cast<int32_t>(length));
    DWORD filled = length;
    pcsc::CheckPCSCResult(lib.ListReaders(context->Get(), nullptr,
                                          reinterpret_cast<char*>(names.WritableData()), &filled),
                          "SCardListReaders()", true);
    // The list may have shrunk since the first call; it may not have grown past our buffer.
    if (filled > length) QORX_RAISE(sd::kMalformed, kUnit);
    length = filled;
    count = CountNames(names.Data(), length);
    if (buffer != nullptr) {
      if (*size < 0 || length > static_cast<DWORD>(*size)) QORX_RAISE(sd::kLength, kUnit);
      std::memcpy(buffer, names.Data(), length);
    }
  }
  *size = static_cast<int>(length);
  return count;
}

TSDSVCSmartCardSlotPCSC* TSDSmartCardSlotPCSCFactory::CreateService(const char* name) {
  return new TSDSVCSmartCardSlotPCSC(name);
}

}  // namespace qorx
