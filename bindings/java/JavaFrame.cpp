#include "bindings/java/JavaFrame.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "bindings/LastError.h"
#include "bindings/java/ModifiedUtf8.h"

namespace qorx {

namespace {

constexpr const char* kIntSignature = "(I)V";
constexpr const char* kStringSignature = "(Ljava/lang/String;)V";
constexpr const char* kBooleanSignature = "(Z)V";
// Status of a setter that cannot be found on the calling object's class.
constexpr jint kCallbackMissing = aps::kPcscIncomplete;

// Deletes a local reference when the scope ends, so that a long native method never runs
// out of the JVM's local reference slots.
class LocalRef {
 public:
  LocalRef(JNIEnv* env, jobject ref) noexcept : env_(env), ref_(ref) {}
  LocalRef(const LocalRef&) = delete;
  LocalRef& operator=(const LocalRef&) = delete;
  ~LocalRef() {
    if (ref_ != nullptr) env_->DeleteLocalRef(ref_);
  }
  jobject Get() const noexcept { return ref_; }

 private:
  JNIEnv* env_;
  jobject ref_;
};

// A method of the object's class, or null. A failed lookup leaves NoSuchMethodError pending
// in the JVM; it is cleared here because the frame reports the missing method itself, and
// any further JNI call with an exception pending would be undefined.
jmethodID FindMethod(JNIEnv* env, jclass cls, const char* name, const char* signature) noexcept {
  jmethodID method = env->GetMethodID(cls, name, signature);
  if (method == nullptr && env->ExceptionCheck()) env->ExceptionClear();
  return method;
}

// The setters by name, remembered per class: looking a method up by its name costs the JVM
// more than the rest of a card operation's native work, and the answer (a method, or none: a
// missing setter still gives 513) cannot change while the class stays loaded. Each remembered
// class is held by a global reference, so it does. A cache that is full looks up as before.
class MethodCache {
 public:
  jmethodID Find(JNIEnv* env, jclass cls, const char* name, const char* signature) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& e : entries_)
      if (std::strcmp(e.name, name) == 0 && std::strcmp(e.signature, signature) == 0 &&
          env->IsSameObject(e.cls, cls))
        return e.method;
    const jmethodID method = FindMethod(env, cls, name, signature);
    if (entries_.size() < kMaxEntries) {
      if (jobject global = env->NewGlobalRef(cls)) {
        try {
          entries_.push_back({static_cast<jclass>(global), name, signature, method});
        } catch (...) {
          env->DeleteGlobalRef(global);  // not remembered; the lookup's answer stands
        }
      }
    }
    return method;
  }

 private:
  static constexpr size_t kMaxEntries = 256;
  // The names and signatures are the literals of this library's callers.
  struct Entry {
    jclass cls;
    const char* name;
    const char* signature;
    jmethodID method;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
};

jmethodID SetterOf(JNIEnv* env, jclass cls, const char* name, const char* signature) {
  static MethodCache* cache = new MethodCache;  // never destroyed: a JVM may call during exit
  return cache->Find(env, cls, name, signature);
}

// A Java string made from a UTF-8 text of the library; null with an exception pending when
// the JVM could not make one.
jstring NewJavaString(JNIEnv* env, const char* text) {
  const char* value = text != nullptr ? text : "";
  TSDByteArray modified =
      Utf8ToModifiedUtf8(reinterpret_cast<const uint8_t*>(value), std::strlen(value));
  return env->NewStringUTF(modified.CStr());
}

// Calls `method` and checks for a Java exception, as the JVM requires before the next call.
bool CallVoid(JNIEnv* env, jobject self, jmethodID method, jvalue value) noexcept {
  env->CallVoidMethodA(self, method, &value);
  return env->ExceptionCheck() == JNI_FALSE;
}

jint CallSetter(JNIEnv* env, jobject self, const char* name, const char* signature, jvalue value,
                bool isString, const char* text) {
  if (env == nullptr || self == nullptr) return ReportStatus(env, self, kCallbackMissing);
  LocalRef cls(env, env->GetObjectClass(self));
  if (cls.Get() == nullptr) return ReportStatus(env, self, kCallbackMissing);
  jmethodID method = SetterOf(env, static_cast<jclass>(cls.Get()), name, signature);
  if (method == nullptr) return ReportStatus(env, self, kCallbackMissing);
  if (isString) {
    LocalRef string(env, NewJavaString(env, text));
    if (string.Get() == nullptr) throw detail::JavaExceptionPending{};
    value.l = string.Get();
    if (!CallVoid(env, self, method, value)) throw detail::JavaExceptionPending{};
  } else if (!CallVoid(env, self, method, value)) {
    throw detail::JavaExceptionPending{};
  }
  return aps::kSuccess;
}

}  // namespace

EAPSException& JavaLastError() {
  static EAPSException record;
  return record;
}

jint ReportStatus(JNIEnv* env, jobject self, jint status) noexcept {
  if (env == nullptr || self == nullptr) return status;
  try {
    if (env->ExceptionCheck()) return status;
    const EAPSException& record = JavaLastError();
    // Applets size their error display for short texts: a message that does not fit the
    // 256-byte buffer goes out as the empty text, as it always has.
    TSDByteArray message = TSDByteArray::EmptyText();
    if (status != aps::kSuccess) {
      constexpr int32_t kMessageBuffer = 256;
      TSDByteArray buffer(kMessageBuffer);
      int32_t room = kMessageBuffer;
      if (CopyLastErrorMessage(record, reinterpret_cast<char*>(buffer.WritableData()), &room) ==
          aps::kSuccess)
        message = buffer;
    }
    LocalRef cls(env, env->GetObjectClass(self));
    if (cls.Get() == nullptr) return status;
    jclass klass = static_cast<jclass>(cls.Get());
    if (jmethodID method = SetterOf(env, klass, "setSCardError", kStringSignature)) {
      LocalRef text(env, NewJavaString(env, message.CStr()));
      if (text.Get() == nullptr) return status;
      jvalue value;
      value.l = text.Get();
      if (!CallVoid(env, self, method, value)) return status;
    }
    if (jmethodID method = SetterOf(env, klass, "setWSCardError", kIntSignature)) {
      jvalue value;
      value.i = record.Detail();
      CallVoid(env, self, method, value);
    }
  } catch (...) {
    // Reporting must not turn into a failure of its own; the status stands.
  }
  return status;
}

jint CallIntSetter(JNIEnv* env, jobject self, const char* name, jint value) {
  jvalue v;
  v.i = value;
  return CallSetter(env, self, name, kIntSignature, v, false, nullptr);
}

jint CallStringSetter(JNIEnv* env, jobject self, const char* name, const char* value) {
  jvalue v;
  v.l = nullptr;
  return CallSetter(env, self, name, kStringSignature, v, true, value);
}

jint CallBooleanSetter(JNIEnv* env, jobject self, const char* name, bool value) {
  jvalue v;
  v.z = value ? JNI_TRUE : JNI_FALSE;
  return CallSetter(env, self, name, kBooleanSignature, v, false, nullptr);
}

bool JavaStringToText(JNIEnv* env, jstring text, TSDByteArray* out) {
  if (env == nullptr || text == nullptr || out == nullptr) return false;
  const jsize units = env->GetStringLength(text);
  const jsize bytes = env->GetStringUTFLength(text);
  if (units < 0 || bytes < 0 || bytes == INT32_MAX) return false;
  // Our own (wiped) buffer rather than the JVM's copy: texts may be secret codes.
  TSDByteArray modified(bytes + 1);
  if (units > 0)
    env->GetStringUTFRegion(text, 0, units, reinterpret_cast<char*>(modified.WritableData()));
  if (env->ExceptionCheck()) {
    env->ExceptionClear();
    return false;
  }
  return ModifiedUtf8ToUtf8(modified.Data(), static_cast<size_t>(bytes), out);
}

bool JavaInputToBytes(TSDByteArray& destination, JNIEnv* env, jobject self, jstring text,
                      jint hexadecimal) {
  if (env == nullptr || self == nullptr) return false;
  TSDByteArray chars;
  if (!JavaStringToText(env, text, &chars)) return false;
  try {
    if (hexadecimal == 1) {
      destination.FromHex(chars.CStr());
    } else {
      destination = TSDByteArray::PrefixCopy(chars, false);
    }
  } catch (const ESDException&) {
    return false;
  }
  return destination.Length() > 0;
}

namespace detail {

jint ReportFrameworkFailure(JNIEnv* env, jobject self, const ESDException& e) noexcept {
  try {
    JavaLastError() = EAPSException(e);
  } catch (...) {
    // Out of memory while keeping the record: the status still tells the code.
  }
  return ReportStatus(env, self, static_cast<jint>(e.Code()));
}

jint ReportApplicationFailure(JNIEnv* env, jobject self, const EAPSException& e) noexcept {
  if (e.Code() == aps::kFrameworkError) {
    try {
      JavaLastError() = e;
    } catch (...) {
    }
  }
  return ReportStatus(env, self, e.Code());
}

}  // namespace detail

}  // namespace qorx
