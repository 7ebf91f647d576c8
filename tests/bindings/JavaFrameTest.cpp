#include "bindings/java/JavaFrame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings/LastError.h"
#include "tests/bindings/FakeJni.h"

namespace qorx {
namespace {

using test::FakeJni;
using Calls = std::vector<std::string>;

class JavaFrameTest : public ::testing::Test {
 protected:
  void SetUp() override { JavaLastError() = EAPSException(); }
  void TearDown() override {
    EXPECT_TRUE(jni.violations.empty()) << jni.violations.front();
    EXPECT_EQ(jni.LiveLocalRefs(), 0) << "local references leaked";
  }
  template <typename Body>
  jint Run(Body&& body) {
    return RunNative(jni.Env(), jni.Self(), body);
  }
  FakeJni jni;
};

const char* kSlotMessage = "PCSC: 80100069 - SCardStatus()";

// One row per kind of failure a native method body can end with.
struct FailureRow {
  const char* name;
  void (*raise)();
  jint status;
  bool callbacks;
  bool stored;  // the last-error record takes the failure
  int32_t detail;
  const char* message;
};

const FailureRow kFailures[] = {
    {"success", [] {}, 0, true, false, 0, ""},
    {"framework error keeps its own code",
     [] { throw ESDException(sd::kExternal, unit::kSmartCardSlotPCSC, 321, kSlotMessage); }, 49152,
     true, true, 49152, "SmartCardSlotPCSC(321) : PCSC: 80100069 - SCardStatus()"},
    {"framework error with an empty message",
     [] { throw ESDException(sd::kMalformed, unit::kTLV, 57, ""); }, 50432, true, true, 50432,
     "TLV(57) : "},
    {"application status 256 is stored",
     [] { throw EAPSException(aps::kFrameworkError, 0xC100, TSDByteArray("Objects(9) : x")); }, 256,
     true, true, 0xC100, "Objects(9) : x"},
    {"other application status is not stored", [] { throw EAPSException(aps::kNoReaderOpen); },
     2562, true, false, 0, ""},
    {"standard exception", [] { throw std::runtime_error("boom"); }, 258, false, false, 0, ""},
    {"foreign type", [] { throw 7; }, 258, false, false, 0, ""},
};

TEST_F(JavaFrameTest, EachFailureBecomesItsStatusAndRecord) {
  for (const FailureRow& row : kFailures) {
    SCOPED_TRACE(row.name);
    // A record from an earlier call that a non-storing failure must leave in place.
    JavaLastError() = EAPSException(aps::kFrameworkError, 0xC600, TSDByteArray("earlier"));
    jni.calls.clear();
    const jint status = Run([&] {
      row.raise();
      return jint{0};
    });
    EXPECT_EQ(status, row.status);
    const EAPSException& record = JavaLastError();
    const int32_t detail = row.stored ? row.detail : 0xC600;
    const std::string message = row.stored ? row.message : "earlier";
    EXPECT_EQ(record.Code(), aps::kFrameworkError);
    EXPECT_EQ(record.Detail(), detail);
    EXPECT_STREQ(record.Message().CStr(), message.c_str());
    if (row.callbacks) {
      // After success the message is empty but the detail is still the last stored one.
      const std::string shown = row.status == 0 ? "" : message;
      EXPECT_EQ(jni.calls, (Calls{"setSCardError(\"" + shown + "\")",
                                  "setWSCardError(" + std::to_string(detail) + ")"}));
    } else {
      EXPECT_TRUE(jni.calls.empty());
    }
  }
}

// A text argument that cannot be converted: 259, the record as it was, callbacks called.
TEST_F(JavaFrameTest, UnconvertibleArgumentGives259) {
  JavaLastError() = EAPSException(aps::kFrameworkError, 0xC000, TSDByteArray("earlier"));
  const jint status = Run([&] {
    TSDByteArray bytes;
    if (!JavaInputToBytes(bytes, jni.Env(), jni.Self(), jni.NewArgument(u"0A1"), 1))
      throw EAPSException(aps::kInvalidArgument);
    return CallStringSetter(jni.Env(), jni.Self(), "setCardATR", "not reached");
  });
  EXPECT_EQ(status, 259);
  EXPECT_EQ(jni.calls, (Calls{"setSCardError(\"earlier\")", "setWSCardError(49152)"}));
  EXPECT_EQ(JavaLastError().Detail(), 0xC000);
}

TEST_F(JavaFrameTest, FreshProcessReportsZeroDetail) {
  EXPECT_EQ(Run([] { return jint{0}; }), 0);
  EXPECT_EQ(jni.calls, (Calls{"setSCardError(\"\")", "setWSCardError(0)"}));
}

TEST_F(JavaFrameTest, MissingResultSetterGives513AndCallbacksTwice) {
  jni.RemoveMethod("setReaderCount");
  const jint status =
      Run([&] { return CallIntSetter(jni.Env(), jni.Self(), "setReaderCount", 3); });
  EXPECT_EQ(status, 513);
  EXPECT_EQ(jni.calls, (Calls{"setSCardError(\"\")", "setWSCardError(0)", "setSCardError(\"\")",
                              "setWSCardError(0)"}));
  EXPECT_FALSE(jni.pending) << "the NoSuchMethodError must not reach Java";
}

TEST_F(JavaFrameTest, SettersAreFoundOnceForEachClass) {
  for (jint value : {1, 2})
    Run([&] { return CallIntSetter(jni.Env(), jni.Self(), "setCardStatus", value); });
  const int lookups = jni.methodLookups;
  Run([&] { return CallIntSetter(jni.Env(), jni.Self(), "setCardStatus", 3); });
  EXPECT_EQ(jni.methodLookups, lookups);
  // What was found on one class says nothing of another's.
  jni.RemoveMethod("setCardStatus");
  EXPECT_EQ(Run([&] { return CallIntSetter(jni.Env(), jni.Self(), "setCardStatus", 4); }), 513);
}

TEST_F(JavaFrameTest, SetterWithWrongSignatureIsMissing) {
  jni.RemoveMethod("setReaderCount");
  jni.AddMethod("setReaderCount", "(J)V");
  EXPECT_EQ(CallIntSetter(jni.Env(), jni.Self(), "setReaderCount", 3), 513);
}

TEST_F(JavaFrameTest, ObjectWithoutErrorCallbacksStillWorks) {
  jni.RemoveMethod("setSCardError");
  EXPECT_EQ(Run([&] { return CallIntSetter(jni.Env(), jni.Self(), "setReaderCount", 2); }), 0);
  EXPECT_EQ(jni.calls, (Calls{"setReaderCount(2)", "setWSCardError(0)"}));

  jni.calls.clear();
  jni.RemoveMethod("setWSCardError");
  EXPECT_EQ(Run([]() -> jint { throw EAPSException(aps::kNoReaderToClose); }), 2561);
  EXPECT_TRUE(jni.calls.empty());
}

TEST_F(JavaFrameTest, SettersPassTheirValues) {
  EXPECT_EQ(CallIntSetter(jni.Env(), jni.Self(), "setCardStatus", 1026), 0);
  EXPECT_EQ(CallBooleanSetter(jni.Env(), jni.Self(), "setActive", true), 0);
  EXPECT_EQ(CallBooleanSetter(jni.Env(), jni.Self(), "setActive", false), 0);
  EXPECT_EQ(CallStringSetter(jni.Env(), jni.Self(), "setCardATR", "3B8F80"), 0);
  EXPECT_EQ(CallStringSetter(jni.Env(), jni.Self(), "setReaderName", nullptr), 0);
  EXPECT_EQ(jni.calls, (Calls{"setCardStatus(1026)", "setActive(true)", "setActive(false)",
                              "setCardATR(\"3B8F80\")", "setReaderName(\"\")"}));
}

TEST_F(JavaFrameTest, NullEnvironmentOrClassGives513WithoutCalls) {
  EXPECT_EQ(CallIntSetter(nullptr, jni.Self(), "setReaderCount", 1), 513);
  EXPECT_EQ(ReportStatus(nullptr, jni.Self(), 77), 77);
  jni.FailGetObjectClass();
  EXPECT_EQ(CallStringSetter(jni.Env(), jni.Self(), "setCardATR", "x"), 513);
  EXPECT_TRUE(jni.calls.empty());
}

// A Java exception from a setter ends the native method; no further JNI call may be made
// and the exception stays pending for the Java caller.
TEST_F(JavaFrameTest, JavaExceptionFromSetterEndsTheCall) {
  jni.ThrowFrom("setCardStatus");
  const jint status = Run([&] {
    CallIntSetter(jni.Env(), jni.Self(), "setCardStatus", 0);
    ADD_FAILURE() << "the body went on after a Java exception";
    return jint{0};
  });
  EXPECT_EQ(status, 258);
  EXPECT_TRUE(jni.pending);
  EXPECT_EQ(jni.calls, (Calls{"setCardStatus(0)"}));
}

TEST_F(JavaFrameTest, JavaExceptionFromErrorCallbackStopsReporting) {
  jni.ThrowFrom("setSCardError");
  EXPECT_EQ(Run([]() -> jint { throw EAPSException(aps::kNoReaderOpen); }), 2562);
  EXPECT_TRUE(jni.pending);
  EXPECT_EQ(jni.calls, (Calls{"setSCardError(\"\")"}));
}

TEST_F(JavaFrameTest, StringCreationFailureEndsTheCall) {
  jni.FailNewString();
  EXPECT_EQ(Run([&] { return CallStringSetter(jni.Env(), jni.Self(), "setCardATR", "3B"); }), 258);
  EXPECT_TRUE(jni.calls.empty());
}

TEST_F(JavaFrameTest, MessagesBeyondTheBufferGoOutEmpty) {
  // "TerminalAppletServices(10) : " takes 29 characters of the 255 that fit.
  for (size_t length : {226u, 227u}) {
    SCOPED_TRACE(length);
    jni.calls.clear();
    const std::string text(length, 'q');
    const jint status = Run([&]() -> jint {
      ::qorx::RaiseSDFormat(sd::kExternal, unit::kTerminalAppletServices, 10, "%s", text.c_str());
    });
    EXPECT_EQ(status, 49152);
    ASSERT_EQ(jni.calls.size(), 2u);
    if (length == 226u) {
      EXPECT_NE(jni.calls[0].find("TerminalAppletServices(10) : " + text), std::string::npos);
    } else {
      EXPECT_EQ(jni.calls[0], "setSCardError(\"\")");
    }
  }
}

// Whatever bytes a message holds, the JVM receives valid modified UTF-8.
TEST_F(JavaFrameTest, TextsReachTheJvmAsModifiedUtf8) {
  EXPECT_EQ(CallStringSetter(jni.Env(), jni.Self(), "setReaderName",
                             "Le\xC3\xA9\xF0\x9F\x98\x80"
                             "\xFF!"),
            0);
  ASSERT_EQ(jni.newStringInputs.size(), 1u);
  EXPECT_EQ(jni.newStringInputs[0], "Le\xC3\xA9\xED\xA0\xBD\xED\xB8\x80\xEF\xBF\xBD!");
  EXPECT_EQ(jni.calls, (Calls{"setReaderName(\"Le\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBD!\")"}));
}

struct InputRow {
  const char* name;
  bool isNull;
  std::u16string text;
  jint hexadecimal;
  bool ok;
  std::vector<uint8_t> bytes;
};

TEST_F(JavaFrameTest, JavaInputToBytes) {
  const InputRow rows[] = {
      {"hex digits", false, u"0A1b", 1, true, {0x0A, 0x1B}},
      {"hex with blanks", false, u" 0A\t1B\r\n", 1, true, {0x0A, 0x1B}},
      {"only 1 selects hex", false, u"0A", 2, true, {0x30, 0x41}},
      {"text", false, u"abc", 0, true, {0x61, 0x62, 0x63}},
      {"non-ASCII text is UTF-8", false, u"\u00E9", 0, true, {0xC3, 0xA9}},
      {"pairs join into 4 bytes", false, u"\U0001F600", 0, true, {0xF0, 0x9F, 0x98, 0x80}},
      {"lone surrogate", false, std::u16string(1, char16_t{0xD800}), 0, true, {0xEF, 0xBF, 0xBD}},
      {"odd digit count", false, u"0A1", 1, false, {}},
      {"not hex", false, u"0G", 1, false, {}},
      {"empty text", false, u"", 0, false, {}},
      {"empty hex", false, u"  ", 1, false, {}},
      {"null text", true, u"", 0, false, {}},
      {"NUL inside", false, std::u16string(u"a\0b", 3), 0, false, {}},
  };
  for (const InputRow& row : rows) {
    SCOPED_TRACE(row.name);
    jstring text = row.isNull ? nullptr : jni.NewArgument(row.text);
    TSDByteArray bytes;
    EXPECT_EQ(JavaInputToBytes(bytes, jni.Env(), jni.Self(), text, row.hexadecimal), row.ok);
    if (row.ok) {
      EXPECT_EQ(std::vector<uint8_t>(bytes.Data(), bytes.Data() + bytes.Length()), row.bytes);
    }
  }
  TSDByteArray bytes;
  EXPECT_FALSE(JavaInputToBytes(bytes, nullptr, jni.Self(), jni.NewArgument(u"00"), 1));
  EXPECT_FALSE(JavaInputToBytes(bytes, jni.Env(), nullptr, jni.NewArgument(u"00"), 1));
}

TEST(LastError, CopyMessage) {
  const EAPSException record(aps::kFrameworkError, 0xC000, TSDByteArray("TLV(5) : bad"));
  int32_t length = -1;
  EXPECT_EQ(CopyLastErrorMessage(record, nullptr, nullptr), 257);
  EXPECT_EQ(CopyLastErrorMessage(record, nullptr, &length), 0);
  EXPECT_EQ(length, 12);

  // The stated size must leave room for the terminator; nothing is written otherwise.
  char buffer[16];
  std::memset(buffer, '#', sizeof buffer);
  length = 12;
  EXPECT_EQ(CopyLastErrorMessage(record, buffer, &length), 257);
  EXPECT_EQ(buffer[0], '#');
  length = 13;
  EXPECT_EQ(CopyLastErrorMessage(record, buffer, &length), 0);
  EXPECT_STREQ(buffer, "TLV(5) : bad");
  EXPECT_EQ(length, 12);
  EXPECT_EQ(buffer[13], '#');
  length = -5;
  EXPECT_EQ(CopyLastErrorMessage(record, buffer, &length), 257);

  const EAPSException empty;
  length = 1;
  EXPECT_EQ(CopyLastErrorMessage(empty, buffer, &length), 0);
  EXPECT_EQ(length, 0);
  EXPECT_STREQ(buffer, "");
}

}  // namespace
}  // namespace qorx
