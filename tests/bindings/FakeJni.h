#pragma once

// A stand-in for the JVM's side of JNI, enough for the call frame: one object whose class
// has a chosen set of methods, strings, local references and pending exceptions. It records
// every setter call and flags the misuses that make a real JVM undefined or noisy (a call
// while an exception is pending, a call without checking for an exception after a Java
// method ran, malformed modified UTF-8 handed to NewStringUTF, leaked local references).

#include <jni.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace qorx::test {

struct FakeString {
  std::u16string units;
};

class FakeJni {
 public:
  FakeJni();
  FakeJni(const FakeJni&) = delete;
  FakeJni& operator=(const FakeJni&) = delete;

  JNIEnv* Env() { return &env_; }
  jobject Self() { return reinterpret_cast<jobject>(&self_); }

  // The object's class has these setters (name and signature); by default all the frame uses.
  void RemoveMethod(const std::string& name);
  void AddMethod(const std::string& name, const std::string& signature);
  // The named setter throws a Java exception when called.
  void ThrowFrom(const std::string& name) { throwing_ = name; }
  void FailNewString() { failNewString_ = true; }
  void FailGetObjectClass() { failClass_ = true; }

  // A Java string argument (UTF-16 units); null when `units` is absent.
  jstring NewArgument(const std::u16string& units);

  // Calls in order, e.g. "setWSCardError(49152)" or "setSCardError(\"x\")"; texts are shown as
  // UTF-8 of the decoded modified UTF-8.
  std::vector<std::string> calls;
  // Raw bytes each NewStringUTF received.
  std::vector<std::string> newStringInputs;
  std::vector<std::string> violations;
  bool pending = false;
  int methodLookups = 0;  // GetMethodID calls

  int LiveLocalRefs() const { return liveRefs_; }

 private:
  struct Method {
    std::string name;
    std::string signature;
    bool removed;
  };
  static FakeJni& Of(JNIEnv* env);
  void Enter(const char* function);

  static jclass JNICALL GetObjectClass(JNIEnv* env, jobject obj);
  static jmethodID JNICALL GetMethodID(JNIEnv* env, jclass cls, const char* name, const char* sig);
  static void JNICALL CallVoidMethodA(JNIEnv* env, jobject obj, jmethodID id, const jvalue* args);
  static jstring JNICALL NewStringUTF(JNIEnv* env, const char* utf);
  static void JNICALL DeleteLocalRef(JNIEnv* env, jobject ref);
  static jobject JNICALL NewGlobalRef(JNIEnv* env, jobject ref);
  static void JNICALL DeleteGlobalRef(JNIEnv* env, jobject ref);
  static jboolean JNICALL IsSameObject(JNIEnv* env, jobject a, jobject b);
  static jboolean JNICALL ExceptionCheck(JNIEnv* env);
  static void JNICALL ExceptionClear(JNIEnv* env);
  static jsize JNICALL GetStringLength(JNIEnv* env, jstring str);
  static jsize JNICALL GetStringUTFLength(JNIEnv* env, jstring str);
  static void JNICALL GetStringUTFRegion(JNIEnv* env, jstring str, jsize start, jsize len,
                                         char* buf);

  JNINativeInterface_ table_{};
  JNIEnv env_{};
  int self_ = 0;
  // A class of this fake's own (see NewClass), so that what the frame remembers of one
  // test's class never answers for another's.
  int* class_;
  std::deque<Method> methods_;  // stable addresses serve as method IDs
  std::deque<FakeString> strings_;
  std::string throwing_;
  bool failNewString_ = false;
  bool failClass_ = false;
  bool mustCheck_ = false;
  int liveRefs_ = 0;
};

// Modified UTF-8 <-> UTF-16 as a JVM does it; decoding flags malformed input.
std::string EncodeModifiedUtf8(const std::u16string& units);
bool DecodeModifiedUtf8(const std::string& bytes, std::u16string* units);
std::string Utf16ToUtf8(const std::u16string& units);
// Appends code point `cp` in its standard UTF-8 form (1 to 4 bytes).
void AppendUtf8(std::string* out, uint32_t cp);

}  // namespace qorx::test
