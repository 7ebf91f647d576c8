// The JNI entry points of libqorx.so.
#include <jni.h>

#include "bindings/java/JavaFrame.h"

extern "C" {

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* /*vm*/, void* /*reserved*/) {
  // Nothing is built here: the card service comes into being at the first call, so loading
  // never waits for (or fails on) the PC/SC service.
  return JNI_VERSION_1_8;
}

JNIEXPORT void JNICALL JNI_OnUnload(JavaVM* /*vm*/, void* /*reserved*/) {}

}  // extern "C"
