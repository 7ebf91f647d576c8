#pragma once

#include <jni.h>

#include <cstdint>

#include "core/ByteArray.h"
#include "core/Exceptions.h"
#include "core/StatusCodes.h"

namespace qorx {

// The call frame of the Java front end. Every native method converts its arguments, drives
// the process-wide service, hands results to setter methods of the calling object (found
// by name, once for each class) and returns a 32-bit status; RunNative turns every failure into
// that status and keeps the process-wide last-error record.

// The process-wide last-error record (code 0, detail 0, empty message at first).
EAPSException& JavaLastError();

// Calls setSCardError (the last-error message, or "" when `status` is 0) and setWSCardError
// (the last-error detail) on `self`, skipping either when the object lacks it; returns
// `status`. Makes no JNI call while a Java exception is pending.
jint ReportStatus(JNIEnv* env, jobject self, jint status) noexcept;

// Call the setter `name` of `self` with "(I)V", "(Ljava/lang/String;)V" or "(Z)V". Return 0,
// or ReportStatus(513) when the class or the method cannot be found. A Java exception thrown
// by the setter ends the native method: the exception is left to propagate to the Java caller.
jint CallIntSetter(JNIEnv* env, jobject self, const char* name, jint value);
jint CallStringSetter(JNIEnv* env, jobject self, const char* name, const char* value);
jint CallBooleanSetter(JNIEnv* env, jobject self, const char* name, bool value);

// A Java text argument as a UTF-8 text of the library. False for a null reference, for a
// text containing U+0000 (it would be cut short at the NUL) and when the JVM gives nothing.
bool JavaStringToText(JNIEnv* env, jstring text, TSDByteArray* out);

// Bytes of a Java text argument: the text's hexadecimal digits when `hexadecimal` is exactly
// 1, otherwise the text's own bytes. False (the native method then reports 259) for a null
// environment, destination, object or text, for rejected hexadecimal and for an empty result.
bool JavaInputToBytes(TSDByteArray& destination, JNIEnv* env, jobject self, jstring text,
                      jint hexadecimal);

namespace detail {
// Thrown when a JNI call left a Java exception pending; the frame then returns at once.
struct JavaExceptionPending {};

jint ReportFrameworkFailure(JNIEnv* env, jobject self, const ESDException& e) noexcept;
jint ReportApplicationFailure(JNIEnv* env, jobject self, const EAPSException& e) noexcept;
}  // namespace detail

// Runs one native method body (a callable returning the status) inside the frame:
// - ESDException: the last error becomes its conversion (code 256, detail = the framework
//   code, "%s(%d) : %s" message) and the status is the framework code itself (0xC000 gives
//   49152);
// - EAPSException: stored as the last error only when its code is 256; the status is its code;
// - anything else (a pending Java exception included): 258, without the error callbacks.
// Every status but the last goes out through ReportStatus.
template <typename Body>
jint RunNative(JNIEnv* env, jobject self, Body&& body) noexcept {
  try {
    const jint status = body();
    return ReportStatus(env, self, status);
  } catch (const ESDException& e) {
    return detail::ReportFrameworkFailure(env, self, e);
  } catch (const EAPSException& e) {
    return detail::ReportApplicationFailure(env, self, e);
  } catch (...) {
    return aps::kUnexpected;
  }
}

}  // namespace qorx
