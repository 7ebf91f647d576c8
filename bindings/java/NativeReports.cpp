// The JNI entry points of libqorx.so for hashing, the diagnostic report and the version.
#include <jni.h>

#include "bindings/Diagnostics.h"
#include "bindings/ModuleVersion.h"
#include "bindings/java/JavaFrame.h"
#include "bindings/java/JavaService.h"
#include "core/ByteArray.h"
#include "crypto/FileDigest.h"
#include "crypto/SHA1Digest.h"

using namespace qorx;

namespace {

// File failures reach the applet as the control reports them: 785 when the file cannot be
// opened, 786 when it is too big or cannot be read; other failures are the frame's to map.
int32_t FileStatus(uint16_t code) {
  switch (code) {
    case sd::kFileOpen:
      return aps::kFileCannotOpen;
    case sd::kFileTooLarge:
    case sd::kFileRead:
      return aps::kFileTooLarge;
    default:
      return aps::kSuccess;
  }
}

jint SetHashOutput(JNIEnv* env, jobject self,
                   const uint8_t (&digest)[TSDSHA1Digest::kDigestLength]) {
  const TSDByteArray hex = TSDByteArray(digest, static_cast<int32_t>(sizeof digest)).ToHex();
  return CallStringSetter(env, self, "setHashOutput", hex.CStr());
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_CalculateSHA1Hash(JNIEnv* env, jobject self,
                                                                 jstring input, jint hexadecimal) {
  return RunNative(env, self, [&] {
    TSDByteArray bytes;
    if (!JavaInputToBytes(bytes, env, self, input, hexadecimal)) return aps::kInvalidArgument;
    uint8_t digest[TSDSHA1Digest::kDigestLength];
    TSDSHA1Digest sha1;
    sha1.Update(bytes);
    sha1.Final(digest);
    return SetHashOutput(env, self, digest);
  });
}

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_NativeHashFile(JNIEnv* env, jobject self,
                                                              jstring fileName) {
  return RunNative(env, self, [&] {
    TSDByteArray name;
    if (!JavaStringToText(env, fileName, &name)) return aps::kInvalidArgument;
    uint8_t digest[TSDSHA1Digest::kDigestLength];
    try {
      Sha1OfFile(name.CStr(), digest);
    } catch (const ESDException& e) {
      const int32_t status = FileStatus(e.Code());
      if (status == aps::kSuccess) throw;
      JavaLastError() = EAPSException(status);
      return status;
    }
    return SetHashOutput(env, self, digest);
  });
}

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_NativePerformPCSCDiagnosticTest(JNIEnv* env,
                                                                               jobject self) {
  return RunNative(env, self, [&] {
    DiagnosticReport report;
    BuildDiagnosticReport(JavaService(), &report);
    report.Append("TecnologiaAtiva.Modelo = JNI\n");
    return CallStringSetter(env, self, "setPCSCDiagnosticResult", report.Text());
  });
}

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_NativeGetVersion(JNIEnv* env, jobject self) {
  return RunNative(env, self, [&] {
    char version[100] = {};
    if (GetModuleVersionText(version, sizeof version) != 0) return -1;
    return CallStringSetter(env, self, "setVersion", version);
  });
}

}  // extern "C"
