#include "tests/bindings/FakeJni.h"

#include <cstring>

namespace qorx::test {

std::string EncodeModifiedUtf8(const std::u16string& units) {
  std::string out;
  for (char16_t u : units) {
    if (u != 0 && u < 0x80) {
      out += static_cast<char>(u);
    } else if (u < 0x800) {
      out += static_cast<char>(0xC0 | (u >> 6));
      out += static_cast<char>(0x80 | (u & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (u >> 12));
      out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (u & 0x3F));
    }
  }
  return out;
}

bool DecodeModifiedUtf8(const std::string& bytes, std::u16string* units) {
  units->clear();
  size_t i = 0;
  auto cont = [&](size_t k) {
    return k < bytes.size() && (static_cast<uint8_t>(bytes[k]) & 0xC0) == 0x80;
  };
  while (i < bytes.size()) {
    const uint8_t b = static_cast<uint8_t>(bytes[i]);
    if (b >= 0x01 && b < 0x80) {
      *units += static_cast<char16_t>(b);
      i += 1;
    } else if ((b & 0xE0) == 0xC0 && cont(i + 1)) {
      const char16_t u =
          static_cast<char16_t>(((b & 0x1F) << 6) | (static_cast<uint8_t>(bytes[i + 1]) & 0x3F));
      if (u != 0 && u < 0x80) return false;
      *units += u;
      i += 2;
    } else if ((b & 0xF0) == 0xE0 && cont(i + 1) && cont(i + 2)) {
      const char16_t u = static_cast<char16_t>(((b & 0x0F) << 12) |
                                               ((static_cast<uint8_t>(bytes[i + 1]) & 0x3F) << 6) |
                                               (static_cast<uint8_t>(bytes[i + 2]) & 0x3F));
      if (u < 0x800) return false;
      *units += u;
      i += 3;
    } else {
      return false;
    }
  }
  return true;
}

void AppendUtf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | (cp >> 6));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out += static_cast<char>(0xE0 | (cp >> 12));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (cp >> 18));
    *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string Utf16ToUtf8(const std::u16string& units) {
  std::string out;
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t cp = units[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(&out, cp);
  }
  return out;
}

namespace {

// Classes are never unloaded here: the frame may remember any of them.
int* NewClass() {
  static std::deque<int> loaded;
  loaded.emplace_back(0);
  return &loaded.back();
}

}  // namespace

FakeJni::FakeJni() : class_(NewClass()) {
  table_.reserved0 = this;
  table_.NewGlobalRef = &NewGlobalRef;
  table_.DeleteGlobalRef = &DeleteGlobalRef;
  table_.IsSameObject = &IsSameObject;
  table_.GetObjectClass = &GetObjectClass;
  table_.GetMethodID = &GetMethodID;
  table_.CallVoidMethodA = &CallVoidMethodA;
  table_.NewStringUTF = &NewStringUTF;
  table_.DeleteLocalRef = &DeleteLocalRef;
  table_.ExceptionCheck = &ExceptionCheck;
  table_.ExceptionClear = &ExceptionClear;
  table_.GetStringLength = &GetStringLength;
  table_.GetStringUTFLength = &GetStringUTFLength;
  table_.GetStringUTFRegion = &GetStringUTFRegion;
  env_.functions = &table_;
  for (const char* name : {"setSCardError", "setReaderName", "setActiveReader", "setCardATR"})
    methods_.push_back({name, "(Ljava/lang/String;)V", false});
  for (const char* name : {"setWSCardError", "setReaderCount", "setCardStatus"})
    methods_.push_back({name, "(I)V", false});
  methods_.push_back({"setActive", "(Z)V", false});
}

// A loaded class never changes its methods: another set of methods is another class.
void FakeJni::RemoveMethod(const std::string& name) {
  class_ = NewClass();
  for (Method& m : methods_)
    if (m.name == name) m.removed = true;
}

void FakeJni::AddMethod(const std::string& name, const std::string& signature) {
  class_ = NewClass();
  methods_.push_back({name, signature, false});
}

jstring FakeJni::NewArgument(const std::u16string& units) {
  strings_.push_back({units});
  return reinterpret_cast<jstring>(&strings_.back());
}

FakeJni& FakeJni::Of(JNIEnv* env) {
  return *static_cast<FakeJni*>(env->functions->reserved0);
}

void FakeJni::Enter(const char* function) {
  if (pending) violations.push_back(std::string(function) + " with an exception pending");
  if (mustCheck_) violations.push_back(std::string(function) + " before checking for exceptions");
}

jclass FakeJni::GetObjectClass(JNIEnv* env, jobject obj) {
  FakeJni& f = Of(env);
  f.Enter("GetObjectClass");
  if (obj != f.Self()) f.violations.push_back("GetObjectClass on a foreign object");
  if (f.failClass_) return nullptr;
  ++f.liveRefs_;
  return reinterpret_cast<jclass>(f.class_);
}

jmethodID FakeJni::GetMethodID(JNIEnv* env, jclass, const char* name, const char* sig) {
  FakeJni& f = Of(env);
  f.Enter("GetMethodID");
  ++f.methodLookups;
  for (Method& m : f.methods_)
    if (!m.removed && m.name == name && m.signature == sig) return reinterpret_cast<jmethodID>(&m);
  f.pending = true;  // NoSuchMethodError, as a JVM raises it
  return nullptr;
}

void FakeJni::CallVoidMethodA(JNIEnv* env, jobject, jmethodID id, const jvalue* args) {
  FakeJni& f = Of(env);
  f.Enter("CallVoidMethodA");
  const Method& m = *reinterpret_cast<const Method*>(id);
  std::string call = m.name + "(";
  if (m.signature == "(I)V") {
    call += std::to_string(args[0].i);
  } else if (m.signature == "(Z)V") {
    call += args[0].z ? "true" : "false";
  } else if (args[0].l == nullptr) {
    call += "null";
  } else {
    call += "\"" + Utf16ToUtf8(reinterpret_cast<FakeString*>(args[0].l)->units) + "\"";
  }
  f.calls.push_back(call + ")");
  f.mustCheck_ = true;
  if (m.name == f.throwing_) f.pending = true;
}

jstring FakeJni::NewStringUTF(JNIEnv* env, const char* utf) {
  FakeJni& f = Of(env);
  f.Enter("NewStringUTF");
  f.newStringInputs.emplace_back(utf);
  if (f.failNewString_) {
    f.pending = true;  // OutOfMemoryError
    return nullptr;
  }
  FakeString s;
  if (!DecodeModifiedUtf8(utf, &s.units)) f.violations.push_back("malformed modified UTF-8");
  f.strings_.push_back(s);
  ++f.liveRefs_;
  return reinterpret_cast<jstring>(&f.strings_.back());
}

void FakeJni::DeleteLocalRef(JNIEnv* env, jobject ref) {
  FakeJni& f = Of(env);
  if (ref != nullptr) --f.liveRefs_;
}

jobject FakeJni::NewGlobalRef(JNIEnv* env, jobject ref) {
  Of(env).Enter("NewGlobalRef");
  return ref;
}

void FakeJni::DeleteGlobalRef(JNIEnv*, jobject) {}

jboolean FakeJni::IsSameObject(JNIEnv* env, jobject a, jobject b) {
  Of(env).Enter("IsSameObject");
  return a == b ? JNI_TRUE : JNI_FALSE;
}

jboolean FakeJni::ExceptionCheck(JNIEnv* env) {
  FakeJni& f = Of(env);
  f.mustCheck_ = false;
  return f.pending ? JNI_TRUE : JNI_FALSE;
}

void FakeJni::ExceptionClear(JNIEnv* env) {
  FakeJni& f = Of(env);
  f.mustCheck_ = false;
  f.pending = false;
}

jsize FakeJni::GetStringLength(JNIEnv* env, jstring str) {
  FakeJni& f = Of(env);
  f.Enter("GetStringLength");
  return static_cast<jsize>(reinterpret_cast<FakeString*>(str)->units.size());
}

jsize FakeJni::GetStringUTFLength(JNIEnv* env, jstring str) {
  FakeJni& f = Of(env);
  f.Enter("GetStringUTFLength");
  return static_cast<jsize>(EncodeModifiedUtf8(reinterpret_cast<FakeString*>(str)->units).size());
}

void FakeJni::GetStringUTFRegion(JNIEnv* env, jstring str, jsize start, jsize len, char* buf) {
  FakeJni& f = Of(env);
  f.Enter("GetStringUTFRegion");
  const std::u16string& units = reinterpret_cast<FakeString*>(str)->units;
  const std::string bytes =
      EncodeModifiedUtf8(units.substr(static_cast<size_t>(start), static_cast<size_t>(len)));
  std::memcpy(buf, bytes.c_str(), bytes.size() + 1);  // the JVM writes a terminator too
}

}  // namespace qorx::test
