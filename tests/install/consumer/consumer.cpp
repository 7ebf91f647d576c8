// Uses the card service as a bank's program would: no card needed for these three.
#include <cstdio>

#include "applet/QorTerminalAppletService.h"
#include "core/Exceptions.h"
#include "crypto/SHA1Digest.h"

int main() {
  try {
    qorx::TSDSHA1Digest sha1;
    sha1.Update("abc", 3);
    uint8_t digest[qorx::TSDSHA1Digest::kDigestLength];
    sha1.Final(digest);
    std::printf("sha1 %s\n",
                qorx::TSDByteArray(digest, static_cast<int32_t>(sizeof digest)).ToHex().CStr());
    qorx::TQorTerminalAppletService service;
    const qorx::TSDByteArray cryptogram =
        service.EncryptPassword(qorx::TSDByteArray("s3cret", 6), 0x80, true);
    std::printf("cryptogram %d bytes\n", cryptogram.Length());
    std::printf("readers %d\n", service.GetReaderCount());
  } catch (const qorx::ESDException& e) {
    std::printf("failed %04X\n", e.Code());
    return 1;
  } catch (const qorx::EAPSException& e) {
    std::printf("failed %d\n", e.Code());
    return 1;
  }
  return 0;
}
