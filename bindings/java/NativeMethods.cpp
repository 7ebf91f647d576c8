// The JNI entry points of libqorx.so: readers and card presence.
#include <jni.h>

#include "applet/QorTerminalAppletService.h"
#include "bindings/Operations.h"
#include "bindings/java/JavaFrame.h"
#include "bindings/java/JavaService.h"
#include "core/ByteArray.h"

using namespace qorx;

extern "C" {

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* /*vm*/, void* /*reserved*/) {
  // Nothing is built here: the card service comes into being at the first call, so loading
  // never waits for (or fails on) the PC/SC service.
  return JNI_VERSION_1_8;
}

JNIEXPORT void JNICALL JNI_OnUnload(JavaVM* /*vm*/, void* /*reserved*/) {
  DestroyJavaService();
}

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_NativeGetReaderCount(JNIEnv* env, jobject self) {
  return RunNative(env, self, [&] {
    const int count = JavaService().GetReaderCount();
    return CallIntSetter(env, self, "setReaderCount", count);
  });
}

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_GetReaderName(JNIEnv* env, jobject self,
                                                             jint index) {
  return RunNative(env, self, [&] {
    const TSDByteArray name = JavaService().GetReaderName(index);
    return CallStringSetter(env, self, "setReaderName", name.CStr());
  });
}

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_NativeOpen(JNIEnv* env, jobject self,
                                                          jstring reader) {
  return RunNative(env, self, [&] {
    TQorTerminalAppletService& service = JavaService();
    // A null name asks for the default reader, as "DEFAULT" and "" do.
    if (reader == nullptr) {
      service.Open(nullptr);
    } else {
      TSDByteArray name;
      if (!JavaStringToText(env, reader, &name)) throw EAPSException(aps::kInvalidArgument);
      service.Open(name.CStr());
    }
    const TSDByteArray active = service.GetActiveReader();
    jint status = CallStringSetter(env, self, "setActiveReader", active.CStr());
    if (status == aps::kSuccess) status = CallBooleanSetter(env, self, "setActive", true);
    return status;
  });
}

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_NativeClose(JNIEnv* env, jobject self) {
  return RunNative(env, self, [&] {
    JavaService().Close();
    return CallBooleanSetter(env, self, "setActive", false);
  });
}

JNIEXPORT jint JNICALL Java_VTKJAV01_1KestrelX_CardDetect(JNIEnv* env, jobject self) {
  return RunNative(env, self, [&] {
    // Cleared first, whatever follows; a missing setter is reported but does not stop us.
    CallStringSetter(env, self, "setCardATR", "");
    CallIntSetter(env, self, "setCardStatus", 0);
    TQorTerminalAppletService& service = JavaService();
    const int32_t state = service.GetCardStatus();
    jint status = CallIntSetter(env, self, "setCardStatus", state);
    if (status == aps::kSuccess && state == TQorTerminalAppletService::StateCardReady) {
      status = CallStringSetter(env, self, "setCardATR", ops::AtrText(service).CStr());
    }
    return status;
  });
}

}  // extern "C"
