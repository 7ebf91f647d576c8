// Raw command bytes as an issuer script carries them: TSDAPDU::ParseCommand, then the reads a
// caller makes of the result.
#include <cstddef>
#include <cstdint>

#include "core/ByteArray.h"
#include "fuzz/FuzzCheck.h"
#include "transport/APDU.h"

using namespace qorx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TSDByteArray bytes(data, static_cast<int32_t>(size));
  const int32_t n = bytes.Length();

  for (bool parse : {false, true}) {
    TSDAPDU apdu;
    bool ok = fuzz::Expect([&] { apdu.ParseCommand(bytes, parse); }, {sd::kMalformed});
    FUZZ_CHECK(ok || (parse && n > 4));
    FUZZ_CHECK(apdu.Bytes() == bytes);  // held also when refused

    int lc = apdu.GetLength(TSDAPDU::kLc);
    int le = apdu.GetLength(TSDAPDU::kLe);
    FUZZ_CHECK(apdu.GetLength(TSDAPDU::kBytes) == n);
    FUZZ_CHECK(fuzz::Expect([&] { apdu.StatusWord(); }, {sd::kLength}) == (n >= 2));
    int data_length = -1;
    FUZZ_CHECK(fuzz::Expect([&] { data_length = apdu.GetLength(TSDAPDU::kResponseData); },
                            {sd::kLength}) == (n >= 2));
    FUZZ_CHECK(n < 2 || data_length == n - 2);
    FUZZ_CHECK(!fuzz::Expect([&] { apdu.GetLength(4); }, {sd::kInvalidArgument}));

    if (ok && parse && n > 4) {
      // A well-formed short command: header, P3, Lc data bytes, at most one Le byte. Laid out
      // again from Lc and Le it gives the very same bytes.
      FUZZ_CHECK(lc >= 0 && lc <= 255 && le >= 0 && le <= 256);
      FUZZ_CHECK(lc == 0 ? n == 5 : (n == lc + 5 || n == lc + 6));
      TSDAPDU again(data[0], data[1], data[2], data[3], lc, lc > 0 ? data + 5 : nullptr, le);
      FUZZ_CHECK(again.Bytes() == bytes);
    }
    if (ok && !parse) FUZZ_CHECK(lc == 0 && le == 0);
  }

  // Receiving a response of the size the input's first byte asks for.
  if (n > 0) {
    TSDAPDU apdu;
    int want = data[0];
    apdu.SetLength(TSDAPDU::kResponseData, want);
    FUZZ_CHECK(apdu.GetLength(TSDAPDU::kResponseData) == want);
    FUZZ_CHECK(apdu.StatusWord() == 0);
  }
  return 0;
}
