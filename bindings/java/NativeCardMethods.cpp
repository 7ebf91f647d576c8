// The JNI entry points of libqorx.so for the card operations: authentication, certificate,
// secret code, signing, application state, secure channel and password encryption.
#include <jni.h>

#include "applet/QorTerminalAppletService.h"
#include "bindings/Operations.h"
#include "bindings/java/JavaFrame.h"
#include "bindings/java/JavaService.h"
#include "core/ByteArray.h"

using namespace qorx;

namespace {

// A Java text argument for the service: null stays null, for the service to refuse with its
// own status; a text that cannot be converted reports 259.
const char* TextArgument(JNIEnv* env, jstring text, TSDByteArray& holder) {
  if (text == nullptr) return nullptr;
  if (!JavaStringToText(env, text, &holder)) throw EAPSException(aps::kInvalidArgument);
  return holder.CStr();
}

jint SetHex(JNIEnv* env, jobject self, const char* setter, const TSDByteArray& bytes) {
  return CallStringSetter(env, self, setter, bytes.ToHex().CStr());
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_CardAuthenticate(JNIEnv* env, jobject self,
                                                                jstring systemDate) {
  return RunNative(env, self, [&] {
    TSDByteArray date;
    const ops::CardIdentity card =
        ops::Authenticate(JavaService(), TextArgument(env, systemDate, date));
    jint status = CallStringSetter(env, self, "setPAN", card.pan.CStr());
    if (status == aps::kSuccess)
      status = CallStringSetter(env, self, "setPANSEQ", card.panSequence.CStr());
    return status;
  });
}

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_GetCertificate(JNIEnv* env, jobject self) {
  return RunNative(env, self, [&] {
    return SetHex(env, self, "setCertificateData", JavaService().GetCertificate());
  });
}

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_CardVerifySecretCode(JNIEnv* env, jobject self,
                                                                    jstring secretCode) {
  return RunNative(env, self, [&] {
    TQorTerminalAppletService& service = JavaService();
    {
      TSDByteArray code;
      service.CardVerifySecretCode(TextArgument(env, secretCode, code));
    }
    return CallIntSetter(env, self, "setPTC", service.GetPinTryCounter());
  });
}

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_ChangeSecretCode(JNIEnv* env, jobject self,
                                                                jstring currentCode,
                                                                jstring newCode) {
  return RunNative(env, self, [&] {
    TSDByteArray current, replacement;
    const char* currentText = TextArgument(env, currentCode, current);
    JavaService().ChangeSecretCode(currentText, TextArgument(env, newCode, replacement));
    return aps::kSuccess;
  });
}

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_SignTransaction(JNIEnv* env, jobject self,
                                                               jstring data, jint hexadecimal) {
  return RunNative(env, self, [&] {
    TSDByteArray bytes;
    if (!JavaInputToBytes(bytes, env, self, data, hexadecimal)) return aps::kInvalidArgument;
    return SetHex(env, self, "setCriptogramData", JavaService().SignTransaction(bytes));
  });
}

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_GetApplicationState(JNIEnv* env, jobject self) {
  return RunNative(env, self, [&] {
    const ops::ApplicationState state = ops::ReadApplicationState(JavaService());
    CallIntSetter(env, self, "setAppState", state.status);
    CallIntSetter(env, self, "setPTC", state.triesLeft);
    return CallIntSetter(env, self, "setVersionRelease", state.versionRelease);
  });
}

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_SecureChannelInit(JNIEnv* env, jobject self,
                                                                 jstring hostChallenge,
                                                                 jint hexadecimal) {
  return RunNative(env, self, [&] {
    TSDByteArray challenge;
    if (!JavaInputToBytes(challenge, env, self, hostChallenge, hexadecimal))
      return aps::kInvalidArgument;
    return SetHex(env, self, "setInitializationData",
                  JavaService().SecureChannelInit(&challenge, 3));
  });
}

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_SecureChannelExecScript(JNIEnv* env, jobject self,
                                                                       jstring script) {
  return RunNative(env, self, [&] {
    TSDByteArray bytes;
    if (!JavaInputToBytes(bytes, env, self, script, 1)) return aps::kInvalidArgument;
    return CallIntSetter(env, self, "setSecureChannelResult",
                         JavaService().SecureChannelExecScript(bytes));
  });
}

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_RSAPasswordEncryptWithPublicKey(
    JNIEnv* env, jobject self, jstring input, jint hexadecimal, jint type, jint keyVersion) {
  return RunNative(env, self, [&] {
    TSDByteArray password;
    if (!JavaInputToBytes(password, env, self, input, hexadecimal)) return aps::kInvalidArgument;
    const TSDByteArray result = JavaService().EncryptPassword(password, static_cast<uint16_t>(type),
                                                              (keyVersion & 0xFF) != 0);
    return SetHex(env, self, "setEncryptedPassword", result);
  });
}

}  // extern "C"
