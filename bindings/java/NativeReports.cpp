// The JNI entry points of libqorx.so for hashing, the diagnostic report and the version.
#include <jni.h>

#include "bindings/Operations.h"
#include "bindings/java/JavaFrame.h"
#include "bindings/java/JavaService.h"
#include "core/ByteArray.h"

using namespace qorx;

extern "C" {

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_CalculateSHA1Hash(JNIEnv* env, jobject self,
                                                                 jstring input, jint hexadecimal) {
  return RunNative(env, self, [&] {
    TSDByteArray bytes;
    if (!JavaInputToBytes(bytes, env, self, input, hexadecimal)) return aps::kInvalidArgument;
    return CallStringSetter(env, self, "setHashOutput", ops::Sha1Text(bytes).CStr());
  });
}

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_NativeHashFile(JNIEnv* env, jobject self,
                                                              jstring fileName) {
  return RunNative(env, self, [&] {
    TSDByteArray name;
    if (!JavaStringToText(env, fileName, &name)) return aps::kInvalidArgument;
    uint8_t digest[TSDSHA1Digest::kDigestLength];
    try {
      ops::HashFile(name.CStr(), digest);
    } catch (const EAPSException& e) {
      // What went wrong with the file is kept for the error callbacks, as the control keeps it.
      JavaLastError() = e;
      return e.Code();
    }
    return CallStringSetter(env, self, "setHashOutput", ops::DigestText(digest).CStr());
  });
}

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_NativePerformPCSCDiagnosticTest(JNIEnv* env,
                                                                               jobject self) {
  return RunNative(env, self, [&] {
    return CallStringSetter(env, self, "setPCSCDiagnosticResult",
                            ops::Report(JavaService(), "JNI")->Text());
  });
}

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_NativeGetVersion(JNIEnv* env, jobject self) {
  return RunNative(env, self, [&] {
    const TSDByteArray version = ops::VersionText();
    if (version.IsEmpty()) return -1;
    return CallStringSetter(env, self, "setVersion", version.CStr());
  });
}

}  // extern "C"
