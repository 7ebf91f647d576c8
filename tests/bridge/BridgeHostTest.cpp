// The host's message handling without a browser: the JSON reader, the origin allowlist, the
// framing, and a session fed hostile messages between well-formed ones.

#include <PCSC/winscard.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <openssl/evp.h>

#include "bindings/control/QorX.h"
#include "tools/bridge/Base64.h"
#include "tools/bridge/BridgeConfig.h"
#include "tools/bridge/CardWatch.h"
#include "tools/bridge/Framing.h"
#include "tools/bridge/Install.h"
#include "tools/bridge/Json.h"
#include "tools/bridge/Origins.h"
#include "tools/bridge/Session.h"

namespace qorx::bridge {
namespace {

bool Parses(const std::string& text, std::string* error = nullptr) {
  JsonValue value;
  std::string why;
  const bool ok = ParseJson(reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                            JsonLimits(), &value, &why);
  if (error != nullptr) *error = why;
  return ok;
}

TEST(BridgeJson, AcceptsAndRefuses) {
  struct Case {
    std::string text;
    bool ok;
  };
  const std::vector<Case> cases = {
      {R"({"a":[1,-2.5e3,true,false,null,"x\u00e9\ud83d\ude00"]})", true},
      {" [ ] ", true},
      {"0", true},
      {"", false},
      {"{", false},
      {"[1,]", false},
      {"{\"a\":1,}", false},
      {"{\"a\":1,\"a\":2}", false},  // a duplicate could hide a second origin
      {"01", false},
      {"1.", false},
      {"-", false},
      {"1e999", false},
      {"\"\\ud800\"", false},
      {"\"\\udc00\"", false},
      {"\"\\x\"", false},
      {"\"a\nb\"", false},
      {"\"\xC0\xAF\"", false},      // overlong
      {"\"\xED\xA0\x80\"", false},  // an encoded surrogate
      {"\"abc", false},
      {"\"abc\\", false},
      {"[1] 2", false},
      {"tru", false},
      {std::string(8, '[') + std::string(8, ']'), true},
      {std::string(9, '[') + std::string(9, ']'), false},
      {std::string(200000, '['), false},
      {"[" + std::string(70000, '1') + "]", false},
  };
  for (const Case& c : cases) EXPECT_EQ(Parses(c.text), c.ok) << c.text.substr(0, 60);
}

TEST(BridgeJson, DecodesAndLimits) {
  const std::string text = R"({"s":"a\"\\\/\n\u0041\ud83d\ude00","n":12,"l":[1,2]})";
  JsonValue v;
  std::string why;
  ASSERT_TRUE(ParseJson(reinterpret_cast<const uint8_t*>(text.data()), text.size(), JsonLimits(),
                        &v, &why));
  EXPECT_EQ(v.Find("s")->text, "a\"\\/\nA\xF0\x9F\x98\x80");
  EXPECT_EQ(v.Find("n")->number, 12);
  EXPECT_EQ(v.Find("l")->items.size(), 2u);
  EXPECT_EQ(v.Find("x"), nullptr);

  JsonLimits small;
  small.maxString = 4;
  small.maxElements = 2;
  for (const std::string t : {"\"abcde\"", "[1,2,3]", "{\"a\":1,\"b\":2,\"c\":3}"}) {
    EXPECT_FALSE(ParseJson(reinterpret_cast<const uint8_t*>(t.data()), t.size(), small, &v, &why))
        << t;
  }

  // A text over the limit can leave the rest readable, for an answer that names the request.
  bool tooLong = false;
  const std::string t = "{\"id\":3,\"s\":\"abc\\\"de\"}";
  ASSERT_TRUE(
      ParseJson(reinterpret_cast<const uint8_t*>(t.data()), t.size(), small, &v, &why, &tooLong));
  EXPECT_TRUE(tooLong);
  EXPECT_EQ(v.Find("id")->number, 3);
  EXPECT_EQ(v.Find("s")->text, "");

  std::string out;
  AppendJsonString(&out, std::string("q\"\x01\xFF\xC3\xA9", 6));
  EXPECT_EQ(out, "\"q\\\"\\u0001\xEF\xBF\xBD\xC3\xA9\"");
}

// Mutations of a well-formed request: whatever the bytes, the reader ends cleanly, and any
// bytes written back as a string literal read back as valid JSON.
TEST(BridgeJson, MutatedRequestsAndRoundTrips) {
  const std::string seed =
      R"({"id":12,"origin":"https://bank.example","op":"call","member":"SignTransaction",)"
      R"("args":["Pay \u00e9 100.00",0,[true,null,{"a":-1.5e2}]]})";
  std::mt19937 random(20261208);
  JsonLimits limits;
  limits.maxString = 64;
  limits.maxElements = 8;
  for (int round = 0; round < 20000; ++round) {
    std::string text = seed;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      const size_t at = random() % (text.size() + 1);
      switch (random() % 3) {
        case 0:
          if (at < text.size()) text[at] = static_cast<char>(random());
          break;
        case 1:
          text.insert(at, 1, "{}[]\",:\\u0dx\xC3\xFF"[random() % 15]);
          break;
        default:
          text.erase(at, random() % 8);
      }
    }
    JsonValue value;
    std::string why;
    bool tooLong = false;
    const bool ok = ParseJson(reinterpret_cast<const uint8_t*>(text.data()), text.size(), limits,
                              &value, &why, &tooLong);
    EXPECT_TRUE(ok || !why.empty()) << text;

    std::string literal;
    AppendJsonString(&literal, text);
    JsonLimits wide;
    wide.maxString = 8 * text.size() + 16;
    ASSERT_TRUE(ParseJson(reinterpret_cast<const uint8_t*>(literal.data()), literal.size(), wide,
                          &value, &why))
        << why << ": " << literal;
  }
}

// A list that grows moves its strings; a code's bytes must not stay in the old places.
TEST(BridgeJson, MovedStringsLeaveNothingBehind) {
  for (const std::string code : {"1234", "a code longer than the short-string buffer"}) {
    JsonValue from;
    from.type = JsonValue::Type::String;
    from.text = code;
    JsonValue to(std::move(from));
    const std::string left(from.text.data(), from.text.capacity());
    EXPECT_EQ(left.find(code.substr(1, 3)), std::string::npos) << code;
    JsonValue assigned;
    assigned = std::move(to);
    EXPECT_EQ(std::string(to.text.data(), to.text.capacity()).find(code.substr(1, 3)),
              std::string::npos)
        << code;
    EXPECT_EQ(assigned.text, code);
  }
}

TEST(BridgeConfig, TheUserMayOnlyTighten) {
  const struct Row {
    const char* machine;
    const char* user;
    PinEntryPolicy policy;
    const char* program;
    int seconds;
    size_t problems;
  } rows[] = {
      {"", "", PinEntryPolicy::PageOrHost, "", 60, 0},
      {"", "pin-entry = host\npinentry-timeout = 5", PinEntryPolicy::Host, "", 5, 0},
      {"pin-entry = host # the bank's wish", "pin-entry = page-or-host", PinEntryPolicy::Host, "",
       60, 1},
      {"pinentry-timeout = 10", "pinentry-timeout = 30", PinEntryPolicy::PageOrHost, "", 10, 0},
      {"pinentry-program = /usr/bin/pinentry-gtk-2", "pinentry-program = /home/x/pinentry",
       PinEntryPolicy::PageOrHost, "/usr/bin/pinentry-gtk-2", 60, 0},
      {"", "pinentry-program = /home/x/pinentry", PinEntryPolicy::PageOrHost, "/home/x/pinentry",
       60, 0},
      {"pin-entry = always\npinentry-timeout = 61\npinentry-program = pinentry\nnoise\nx = 1", "",
       PinEntryPolicy::PageOrHost, "", 60, 5},
  };
  for (const Row& row : rows) {
    BridgeConfig config;
    std::vector<std::string> problems;
    config.Apply(row.machine, true, &problems);
    config.Apply(row.user, false, &problems);
    EXPECT_EQ(config.pinEntry, row.policy) << row.machine << " / " << row.user;
    EXPECT_EQ(config.pinentryProgram, row.program) << row.machine << " / " << row.user;
    EXPECT_EQ(config.pinentrySeconds, row.seconds) << row.machine << " / " << row.user;
    EXPECT_EQ(problems.size(), row.problems) << row.machine << " / " << row.user;
  }
}

TEST(BridgeOrigins, CanonicalFormsAndMatching) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"https://Bank.Example", "https://bank.example"},
      {"https://bank.example/", "https://bank.example"},
      {"https://bank.example:443", "https://bank.example"},
      {"https://bank.example:8443", "https://bank.example:8443"},
      {"http://localhost:8080", "http://localhost:8080"},
      {"http://127.0.0.1", "http://127.0.0.1"},
      {"http://bank.example", ""},  // plain http only for this machine
      {"ftp://bank.example", ""},
      {"https://", ""},
      {"https://bank.example:0", ""},
      {"https://bank.example:99999", ""},
      {"https://bank.example/path", ""},
      {"https://user@bank.example", ""},
      {"null", ""},
  };
  for (const auto& [text, canonical] : cases) EXPECT_EQ(CanonicalOrigin(text), canonical) << text;

  char path[] = "/tmp/bridge-origins-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string file =
      "# bank\nhttps://bank.example\n  http://localhost:8080  # demo\nhttp://evil.example\n\n";
  ASSERT_EQ(write(fd, file.data(), file.size()), static_cast<ssize_t>(file.size()));
  close(fd);
  OriginList list;
  std::vector<std::string> rejected;
  ASSERT_TRUE(list.AddFile(path, &rejected));
  unlink(path);
  EXPECT_EQ(rejected, std::vector<std::string>{"http://evil.example"});
  EXPECT_TRUE(list.Allows("https://bank.example"));
  EXPECT_TRUE(list.Allows("http://localhost:8080"));
  EXPECT_FALSE(list.Allows("http://localhost:8081"));
  EXPECT_FALSE(list.Allows("https://BANK.example"));  // not how a browser writes an origin
  EXPECT_FALSE(list.Allows("https://bank.example.evil"));
  EXPECT_FALSE(list.Allows("http://evil.example"));
  EXPECT_TRUE(list.AddFile("/nonexistent/bridge-origins", nullptr));
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return in ? text.str() : "";
}

std::string Frame(const std::string& json) {
  const uint32_t n = static_cast<uint32_t>(json.size());
  std::string out(4, '\0');
  std::memcpy(out.data(), &n, 4);
  return out + json;
}

TEST(BridgeFraming, MessagesOversizedAndTruncated) {
  FILE* file = tmpfile();
  ASSERT_NE(file, nullptr);
  std::string stream = Frame("{\"a\":1}") + Frame(std::string(5000, 'x')) + Frame("") +
                       Frame("[2]") + std::string("\x10\x00\x00\x00{", 5);
  ASSERT_EQ(fwrite(stream.data(), 1, stream.size(), file), stream.size());
  fflush(file);
  rewind(file);
  const int fd = fileno(file);
  std::string message;
  uint32_t declared = 0;
  EXPECT_EQ(ReadMessage(fd, 4096, &message, &declared, nullptr), ReadStatus::Message);
  EXPECT_EQ(message, "{\"a\":1}");
  EXPECT_EQ(ReadMessage(fd, 4096, &message, &declared, nullptr), ReadStatus::TooLarge);
  EXPECT_EQ(declared, 5000u);
  EXPECT_EQ(ReadMessage(fd, 4096, &message, &declared, nullptr), ReadStatus::Message);
  EXPECT_EQ(message, "");
  EXPECT_EQ(ReadMessage(fd, 4096, &message, &declared, nullptr), ReadStatus::Message);
  EXPECT_EQ(message, "[2]");
  EXPECT_EQ(ReadMessage(fd, 4096, &message, &declared, nullptr), ReadStatus::Broken);
  EXPECT_EQ(ReadMessage(fd, 4096, &message, &declared, nullptr), ReadStatus::End);
  fclose(file);

  int pipes[2];
  ASSERT_EQ(pipe(pipes), 0);
  EXPECT_TRUE(WriteMessage(pipes[1], "{}"));
  EXPECT_FALSE(WriteMessage(pipes[1], std::string(kMaxAnswerSize + 1, ' ')));
  close(pipes[1]);
  EXPECT_EQ(ReadMessage(pipes[0], 4096, &message, &declared, nullptr), ReadStatus::Message);
  EXPECT_EQ(message, "{}");
  EXPECT_EQ(ReadMessage(pipes[0], 4096, &message, &declared, nullptr), ReadStatus::End);
  close(pipes[0]);
}

class BridgeSession : public ::testing::Test {
 protected:
  BridgeSession() : session_(Origins()) {}
  static OriginList Origins() {
    OriginList list;
    list.Add("https://bank.example");
    return list;
  }
  std::string Ask(const std::string& json) {
    return session_.Handle(reinterpret_cast<const uint8_t*>(json.data()), json.size());
  }
  Session session_;
};

TEST_F(BridgeSession, HostileMessagesGetErrorsAndServingGoesOn) {
  const std::string bank = R"("origin":"https://bank.example")";
  const std::string hash =
      R"({"id":1,)" + bank + R"(,"op":"call","member":"CalculateSHA1Hash","args":["abc",0]})";
  const std::vector<std::pair<std::string, std::string>> hostile = {
      {"not json", R"({"id":null,"error":{"code":"json")"},
      {std::string("\xFF\xFE", 2), R"({"id":null,"error":{"code":"json")"},
      {"[1,2]", R"({"id":null,"error":{"code":"request")"},
      {R"({"origin":"https://bank.example","op":"members"})",
       R"({"id":null,"error":{"code":"request")"},
      {R"({"id":{},"op":"members"})", R"({"id":null,"error":{"code":"request")"},
      {R"({"id":1.5,"op":"members"})", R"({"id":null,"error":{"code":"request")"},
      {R"({"id":"a","op":"members"})", R"({"id":"a","error":{"code":"request")"},
      {R"({"id":2,"origin":"https://evil.example","op":"members"})",
       R"({"id":2,"error":{"code":"origin")"},
      {R"({"id":2,"origin":"https://bank.example.evil","op":"members"})",
       R"({"id":2,"error":{"code":"origin")"},
      {R"({"id":2,"origin":7,"op":"members"})", R"({"id":2,"error":{"code":"request")"},
      {R"({"id":3,)" + bank + R"(,"op":"delete","member":"Open"})",
       R"({"id":3,"error":{"code":"request")"},
      {R"({"id":3,)" + bank + R"(,"op":"call","member":42})",
       R"({"id":3,"error":{"code":"request")"},
      {R"({"id":3,)" + bank + R"(,"op":"get","member":"sVersion\u0000x"})",
       R"({"id":3,"error":{"code":"request")"},
      // The control would read "a" and hash that.
      {R"({"id":3,)" + bank +
           R"(,"op":"call","member":"CalculateSHA1Hash","args":["a\u0000bc",0]})",
       R"({"id":3,"error":{"code":"arguments")"},
      {R"({"id":4,)" + bank + R"(,"op":"call","member":"FormatDisk","args":[]})",
       R"({"id":4,"error":{"code":"member")"},
      {R"({"id":4,)" + bank + R"(,"op":"get","member":"Close"})",
       R"({"id":4,"error":{"code":"member")"},
      {R"({"id":4,)" + bank + R"(,"op":"call","member":"lCardStatus"})",
       R"({"id":4,"error":{"code":"member")"},
      {R"({"id":5,)" + bank + R"(,"op":"call","member":"CalculateSHA1Hash","args":"abc"})",
       R"({"id":5,"error":{"code":"arguments")"},
      {R"({"id":5,)" + bank + R"(,"op":"call","member":"CalculateSHA1Hash","args":["abc"]})",
       R"({"id":5,"error":{"code":"arguments")"},
      {R"({"id":5,)" + bank + R"(,"op":"call","member":"CalculateSHA1Hash","args":[["abc"],0]})",
       R"({"id":5,"error":{"code":"arguments")"},
      {R"({"id":5,)" + bank + R"(,"op":"call","member":"CalculateSHA1Hash","args":["abc",1e300]})",
       R"({"id":5,"error":{"code":"arguments")"},
      {R"({"id":5,)" + bank + R"(,"op":"get","member":"sVersion","args":[1]})",
       R"({"id":5,"error":{"code":"arguments")"},
      {R"({"id":6,)" + bank + R"(,"op":"call","member":"CalculateSHA1Hash","args":[")" +
           std::string(kMaxStringSize + 1, 'a') + R"(",0]})",
       R"({"id":6,"error":{"code":"size")"},
      {std::string(kMaxRequestSize + 1, ' '), R"({"id":null,"error":{"code":"size")"},
      // Only the extension, naming no page, learns the list; a page's message names its origin.
      {R"({"id":8,)" + bank + R"(,"op":"origins"})", R"({"id":8,"error":{"code":"request")"},
      {R"({"id":8,"origin":"https://evil.example","op":"origins"})",
       R"({"id":8,"error":{"code":"origin")"},
      {R"({"id":8,"origin":null,"op":"origins"})", R"({"id":8,"error":{"code":"request")"},
  };
  for (const auto& [request, prefix] : hostile) {
    EXPECT_EQ(Ask(request).rfind(prefix, 0), 0u) << request.substr(0, 80) << " -> " << Ask(request);
    EXPECT_EQ(Ask(hash), R"({"id":1,"value":0})") << "after " << request.substr(0, 80);
  }
  EXPECT_EQ(Ask(R"({"id":7,)" + bank + R"(,"op":"get","member":"shashoutput"})"),
            R"({"id":7,"value":"A9993E364706816ABA3E25717850C26C9CD0D89D"})");
  EXPECT_EQ(Ask(R"({"id":9,"op":"origins"})"), R"({"id":9,"origins":["https://bank.example"]})");
  EXPECT_EQ(Session::Oversized(5000000).rfind(R"({"id":null,"error":{"code":"size")", 0), 0u);
}

TEST_F(BridgeSession, DescribesTheFortyMembersAndKeepsToOnePage) {
  const std::string members = Ask(R"({"id":"m","origin":"https://bank.example","op":"members"})");
  size_t count = 0;
  for (size_t at = members.find("\"name\":"); at != std::string::npos;
       at = members.find("\"name\":", at + 1))
    ++count;
  EXPECT_EQ(count, 40u);
  EXPECT_NE(members.find(R"({"name":"lCardStatus","kind":"property"})"), std::string::npos);
  EXPECT_NE(members.find(R"({"name":"RSAPasswordEncryptWithPublicKey","kind":"method","params":)"
                         R"(["sInputData","boolHexadecimalInputString","wType","bKeyVersion"]})"),
            std::string::npos);

  // Text from the page comes back as UTF-8 however it was escaped.
  EXPECT_EQ(Ask(R"({"id":1,"origin":"https://bank.example","op":"call",)"
                R"("member":"CalculateSHA1Hash","args":["\u00e9",0]})"),
            R"({"id":1,"value":0})");

  // A second page on the same connection is refused even when it is on the list.
  OriginList two = Origins();
  two.Add("https://other.example");
  Session session(std::move(two));
  const std::string first = R"({"id":1,"origin":"https://bank.example","op":"members"})";
  const std::string second = R"({"id":2,"origin":"https://other.example","op":"members"})";
  EXPECT_EQ(
      session.Handle(reinterpret_cast<const uint8_t*>(first.data()), first.size()).find("error"),
      std::string::npos);
  EXPECT_EQ(session.Handle(reinterpret_cast<const uint8_t*>(second.data()), second.size())
                .rfind(R"({"id":2,"error":{"code":"origin")", 0),
            0u);
}

std::string Base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  out.resize(static_cast<size_t>(EVP_EncodeBlock(
      reinterpret_cast<unsigned char*>(out.data()),
      reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()))));
  return out;
}

TEST(BridgeBase64, DecodesOnlyCanonicalText) {
  const std::vector<std::pair<std::string, const char*>> rows = {
      {"", ""},
      {"YQ==", "a"},
      {"YWI=", "ab"},
      {"YWJj", "abc"},
      {"YWJjZA==", "abcd"},
      {"+/+/", "\xFB\xFF\xBF"},
      {"YQ", nullptr},
      {"YQ=", nullptr},
      {"YR==", nullptr},
      {"YWJ=", nullptr},
      {"Y===", nullptr},
      {"=YWJ", nullptr},
      {"YW=j", nullptr},
      {"YW Jj", nullptr},
      {"YWJj\n", nullptr},
      {"YW-_", nullptr},
      {"YWJj\xC3\xA9==", nullptr},
  };
  for (const auto& [text, bytes] : rows) {
    uint8_t out[8];
    size_t n = 99;
    const bool ok = DecodeBase64(text.data(), text.size(), out, &n);
    EXPECT_EQ(ok, bytes != nullptr) << text;
    if (ok && bytes != nullptr) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), bytes);
    }
  }
}

// A file sent by a page in chunks: the same lResult and properties as the control's own
// HashFile and SignFile of the file (no reader here, so a signature fails alike), and every
// step out of place refused, leaving nothing half done.
class BridgeFile : public BridgeSession {
 protected:
  BridgeFile() { setenv("QORX_PCSC_LIBRARY", "/nonexistent/libpcsclite.so.1", 1); }
  ~BridgeFile() override { unsetenv("QORX_PCSC_LIBRARY"); }
  std::string Step(const std::string& rest) { return Ask(kBank + rest); }
  std::string Begin(const char* member, size_t size) {
    return Step(R"("op":"file","member":")" + std::string(member) + R"(","size":)" +
                std::to_string(size) + "}");
  }
  std::string Chunk(size_t at, const std::string& bytes) {
    return Step(R"("op":"chunk","at":)" + std::to_string(at) + R"(,"data":")" + Base64(bytes) +
                "\"}");
  }
  std::string Send(const char* member, const std::string& file, size_t piece) {
    std::string answer = Begin(member, file.size());
    for (size_t at = 0; at < file.size() && answer.find("error") == std::string::npos; at += piece)
      answer = Chunk(at, file.substr(at, piece));
    return answer.find("error") == std::string::npos ? Step(R"("op":"end"})") : answer;
  }
  const std::string kBank = R"({"id":1,"origin":"https://bank.example",)";
};

TEST_F(BridgeFile, ChunksEndAsTheControlsOwnCallsOfTheFile) {
  std::mt19937 random(18);
  std::string big(1500000, '\0');
  for (char& c : big) c = static_cast<char>(random());
  char path[] = "/tmp/bridge-file-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  const auto property = [&](const char* name) {
    return Step(R"("op":"get","member":")" + std::string(name) + "\"}");
  };
  // One control beside the session's, called alike.
  com::CQorX* control = new com::CQorX();
  for (const std::string& file : {std::string(), std::string("abc"), big}) {
    std::ofstream(path, std::ios::binary) << file;
    for (const char* member : {"HashFile", "SignFile"}) {
      com::BSTR name = com::BstrFromUtf8(path);
      com::LONG status = -1;
      ASSERT_EQ(strcmp(member, "HashFile") == 0 ? control->HashFile(name, &status)
                                                : control->SignFile(name, &status),
                com::S_OK);
      com::SysFreeString(name);
      EXPECT_EQ(Send(member, file, kMaxChunkSize),
                R"({"id":1,"value":)" + std::to_string(status) + "}")
          << member << " of " << file.size();
      for (const char* shown : {"sHashOutput", "sCriptogramData", "wSCardError"}) {
        com::VARIANT value;
        com::VariantInit(&value);
        com::DISPID id = com::DISPID_UNKNOWN;
        std::u16string wide(shown, shown + strlen(shown));
        com::OLECHAR* names[] = {wide.data()};
        com::DISPPARAMS none = {nullptr, nullptr, 0, 0};
        ASSERT_EQ(control->GetIDsOfNames(com::IID_NULL, names, 1, 0, &id), com::S_OK);
        control->Invoke(id, com::IID_NULL, 0, com::DISPATCH_PROPERTYGET, &none, &value, nullptr,
                        nullptr);
        EXPECT_EQ(property(shown), R"({"id":1,"value":)" + ValueJson(value) + "}") << shown;
        com::VariantClear(&value);
      }
    }
  }
  control->Release();
  unlink(path);
  // Smaller chunks than the limit give the same digest, and the mirror learns it.
  Step(R"("op":"members","mirror":true})");
  EXPECT_EQ(Send("HashFile", "abc", 1), R"({"id":1,"value":0,"state":{"sHashOutput":")"
                                        R"(A9993E364706816ABA3E25717850C26C9CD0D89D"}})");
}

TEST_F(BridgeFile, StepsOutOfPlaceAreRefusedAndAbandonTheFile) {
  const std::string begun = R"({"id":1,"value":0})";
  const std::string refused = R"({"id":1,"error":{"code":")";
  struct Row {
    std::string step;  // after a begun file of 10 bytes, 3 of them sent
    std::string code;
  };
  const std::vector<Row> rows = {
      {R"("op":"chunk","at":0,"data":"YWJj"})", "request"},  // out of order
      {R"("op":"chunk","at":4,"data":"YWJj"})", "request"},  // a gap
      {R"("op":"chunk","at":3.5,"data":"YWJj"})", "request"},
      {R"("op":"chunk","at":3,"data":"YWJj!"})", "request"},  // not base64
      {R"("op":"chunk","at":3,"data":7})", "request"},
      {R"("op":"chunk","at":3,"data":"YWJjYWJjYWJj"})", "size"},  // beyond the size
      {R"("op":"file","member":"Open","size":3})", "request"},
      {R"("op":"file","member":"HashFile","size":-1})", "request"},
      // A page cannot name a file, whatever the case it writes the member in.
      {R"("op":"call","member":"HashFile","args":["/etc/passwd"]})", "path"},
      {R"("op":"call","member":"signfile","args":["/etc/passwd"]})", "path"},
      {R"("op":"call","member":"SignFile","args":[]})", "path"},
      // Another call between the chunks is served, and the file is gone.
      {R"("op":"call","member":"CalculateSHA1Hash","args":["abc",0]})", ""},
      {"not json", "json"},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(Begin("HashFile", 10), begun);
    ASSERT_EQ(Chunk(0, "abc"), R"({"id":1,"value":3})");
    const std::string answer = Step(row.step);
    if (row.code.empty())
      EXPECT_EQ(answer, R"({"id":1,"value":0})") << row.step;
    else if (row.code == "json")
      EXPECT_EQ(Ask(row.step).rfind(R"({"id":null,"error":{"code":"json")", 0), 0u);
    else
      EXPECT_EQ(answer.rfind(refused + row.code + "\"", 0), 0u) << row.step << " -> " << answer;
    EXPECT_EQ(Chunk(3, "defg").rfind(refused + "request\"", 0), 0u) << "after " << row.step;
    EXPECT_EQ(Step(R"("op":"end"})").rfind(refused + "request\"", 0), 0u) << "after " << row.step;
  }
  // Ended short: a file that could not be read whole. A chunk's data may pass the limit for
  // texts; nothing else in it may.
  ASSERT_EQ(Begin("HashFile", 10), begun);
  EXPECT_EQ(Step(R"("op":"end"})"), R"({"id":1,"value":786})");
  const std::string long_text(kMaxStringSize + 4, 'A');
  ASSERT_EQ(Begin("HashFile", kMaxChunkSize), begun);
  EXPECT_EQ(Step(R"("op":"chunk","at":0,"data":")" + long_text + "\"}"),
            R"({"id":1,"value":)" + std::to_string(long_text.size() / 4 * 3) + "}");
  EXPECT_EQ(Step(R"("op":"chunk","at":1,"data":"YWJj","x":")" + long_text + "\"}")
                .rfind(refused + "size\"", 0),
            0u);
  // A page that goes away mid-file leaves nothing behind (the sanitized build checks leaks).
  Session gone(Origins());
  const std::string begin = kBank + R"("op":"file","member":"SignFile","size":9})";
  gone.Handle(reinterpret_cast<const uint8_t*>(begin.data()), begin.size());
}

// A page that mirrors the control: the members answer holds the whole copy, each later answer
// what its request changed in it.
TEST_F(BridgeSession, MirrorTellsWhatEachRequestChanged) {
  setenv("QORX_PCSC_LIBRARY", "/nonexistent/libpcsclite.so.1", 1);  // no reader to open or watch
  const std::string bank = R"({"id":1,"origin":"https://bank.example",)";
  const std::string members = Ask(bank + R"("op":"members","mirror":true})");
  JsonValue answer;
  std::string why;
  ASSERT_TRUE(ParseJson(reinterpret_cast<const uint8_t*>(members.data()), members.size(),
                        JsonLimits(), &answer, &why))
      << why;
  ASSERT_NE(answer.Find("state"), nullptr);
  EXPECT_EQ(answer.Find("state")->members.size(), 21u);
  // The card status is held without a reader open: only a call can change it then.
  EXPECT_NE(members.find(R"("state":{"lCardStatus":0,"sActiveReader":"",)"), std::string::npos);

  const std::string abc = "A9993E364706816ABA3E25717850C26C9CD0D89D";
  const std::vector<std::pair<std::string, std::string>> steps = {
      {R"("op":"call","member":"CalculateSHA1Hash","args":["abc",0]})",
       R"({"id":1,"value":0,"state":{"sHashOutput":")" + abc + R"("}})"},
      // Cleared and set to the same value: nothing to tell.
      {R"("op":"call","member":"CalculateSHA1Hash","args":["abc",0]})", R"({"id":1,"value":0})"},
      // Refused before the control ran: nothing changed.
      {R"("op":"call","member":"CalculateSHA1Hash","args":["abc"]})",
       R"({"id":1,"error":{"code":"arguments","message":"wrong arguments for CalculateSHA1Hash",)"
       R"("hresult":2147614734}})"},
      {R"("op":"get","member":"lCardStatus"})", R"({"id":1,"value":0})"},
      // A failure clears the result and keeps the last error.
      {R"("op":"call","member":"CalculateSHA1Hash","args":["zz",1]})",
       R"({"id":1,"value":259,"state":{"sHashOutput":"","wSCardError":50432}})"},
      // The last error stays after a success.
      {R"("op":"call","member":"CalculateSHA1Hash","args":["616263",1]})",
       R"({"id":1,"value":0,"state":{"sHashOutput":")" + abc + R"("}})"},
  };
  for (const auto& [request, wanted] : steps) {
    const std::string got = Ask(bank + request);
    EXPECT_EQ(got.rfind(wanted, 0), 0u) << request << " -> " << got;
  }
  unsetenv("QORX_PCSC_LIBRARY");
}

// What the watch over the readers tells a page, from the states PC/SC reports at two wakes.
TEST(BridgeCardWatch, TellsCardsAndReadersThatCameAndWent) {
  const std::vector<std::pair<uint32_t, int32_t>> states = {
      {SCARD_STATE_EMPTY, 1028},
      {SCARD_STATE_PRESENT, 1026},
      {SCARD_STATE_PRESENT | SCARD_STATE_INUSE | SCARD_STATE_EXCLUSIVE | 0x30000, 1026},
      {SCARD_STATE_PRESENT | SCARD_STATE_MUTE, 1027},
      {SCARD_STATE_UNKNOWN | SCARD_STATE_CHANGED | SCARD_STATE_IGNORE, 0},
      {SCARD_STATE_UNAVAILABLE, 0},
      {0, 0},
  };
  for (const auto& [state, status] : states) EXPECT_EQ(CardStatusOfState(state), status) << state;

  using Seen = std::vector<ReaderSeen>;
  auto told = [](const Seen& before, const Seen& after) {
    std::string out;
    for (const CardChange& c : CompareReaders(before, after))
      out += c.reader + ":" + std::to_string(c.cardStatus) + (c.readerAdded ? "+" : "") +
             (c.readerRemoved ? "-" : "") + " ";
    return out;
  };
  const Seen ready = {{"A", 1026, 1}};
  const std::vector<std::tuple<Seen, Seen, std::string>> cases = {
      {ready, ready, ""},
      {ready, {{"A", 1028, 2}}, "A:1028 "},
      {{{"A", 1028, 2}}, {{"A", 1026, 3}}, "A:1026 "},
      // Out and in again between two wakes: the card there is another insertion.
      {ready, {{"A", 1026, 3}}, "A:1028 A:1026 "},
      // In and out again: nothing a page could act on.
      {{{"A", 1028, 2}}, {{"A", 1028, 4}}, ""},
      {ready, {{"A", 1027, 3}}, "A:1027 "},
      {ready, {{"A", 1026, 1}, {"B", 1028, 0}}, "B:1028+ "},
      {{{"A", 1026, 1}, {"B", 1028, 0}}, {{"B", 1026, 1}}, "A:0- B:1026 "},
      {{}, {{"A", 1026, 1}, {"B", 1027, 1}}, "A:1026+ B:1027+ "},
      {{{"A", 1026, 1}, {"B", 1027, 1}}, {}, "A:0- B:0- "},
  };
  for (const auto& [before, after, wanted] : cases) EXPECT_EQ(told(before, after), wanted);
}

TEST(BridgeInstall, ManifestsIntoAProfileAndOriginsIntoTheList) {
  char folder[] = "/tmp/bridge-install-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string base = folder;
  setenv("QORX_BRIDGE_ORIGINS", (base + "/config/bridge-origins").c_str(), 1);
  InstallOptions options;
  options.profiles = {base + "/profile"};
  std::ofstream(base + "/host") << "#!/bin/sh\n";
  options.hostPath = base + "/./host";
  options.origins = {"https://Bank.Example/", "http://localhost:8080", "https://bank.example"};
  ASSERT_EQ(Install(options), 0);
  // Plain http is refused, and nothing else is lost.
  EXPECT_EQ(AddOrigins({"http://bank.example", "http://localhost:8080"}), 1);

  const std::string manifest = base + "/profile/NativeMessagingHosts/org.qorx.bridge.json";
  const std::string text = Slurp(manifest);
  JsonValue value;
  std::string why;
  ASSERT_TRUE(ParseJson(reinterpret_cast<const uint8_t*>(text.data()), text.size(), JsonLimits(),
                        &value, &why))
      << why;
  EXPECT_EQ(value.Find("name")->text, "org.qorx.bridge");
  char resolved[4096];
  ASSERT_NE(realpath((base + "/host").c_str(), resolved), nullptr);
  EXPECT_EQ(value.Find("path")->text, resolved);  // resolved: browsers want a plain absolute path
  EXPECT_EQ(value.Find("type")->text, "stdio");
  ASSERT_EQ(value.Find("allowed_origins")->items.size(), 1u);
  EXPECT_EQ(value.Find("allowed_origins")->items[0].text,
            "chrome-extension://lknnbfgigekfkeadnkapoefbfkmkijao/");
  EXPECT_NE(FirefoxManifest("/x").find(R"("allowed_extensions": ["bridge@qorx.org"])"),
            std::string::npos);

  OriginList list;
  std::vector<std::string> rejected;
  ASSERT_TRUE(list.AddFile(UserOriginsPath(), &rejected));
  EXPECT_EQ(list.Entries(),
            (std::vector<std::string>{"https://bank.example", "http://localhost:8080"}));
  EXPECT_TRUE(rejected.empty());

  EXPECT_EQ(Uninstall(options), 0);
  EXPECT_EQ(Slurp(manifest), "");
  unsetenv("QORX_BRIDGE_ORIGINS");
  (void)!std::system(("rm -rf " + base).c_str());
}

// The program itself over its standard input and output: every message answered in order,
// including after an oversized one, and a clean exit when the input closes.
TEST(BridgeHost, ServesUntilItsInputCloses) {
  char folder[] = "/tmp/bridge-host-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string base = folder;
  std::ofstream(base + "/origins") << "https://bank.example\n";
  const std::string hash =
      R"({"id":1,"origin":"https://bank.example","op":"call","member":"CalculateSHA1Hash",)"
      R"("args":["abc",0]})";
  {
    std::ofstream in(base + "/in", std::ios::binary);
    in << Frame(hash) << Frame("]") << std::string("\xFF\xFF\xFF\x00", 4)
       << std::string(0xFFFFFF, ' ') << Frame(hash);
  }
  const std::string command = "QORX_BRIDGE_ORIGINS=" + base + "/origins " QORX_BRIDGE_PATH +
                              std::string(" chrome-extension://x/ <") + base + "/in >" + base +
                              "/out 2>" + base + "/err";
  EXPECT_EQ(std::system(command.c_str()), 0) << Slurp(base + "/err");
  const std::string out = Slurp(base + "/out");
  std::vector<std::string> answers;
  for (size_t at = 0; at + 4 <= out.size();) {
    uint32_t n;
    std::memcpy(&n, out.data() + at, 4);
    answers.push_back(out.substr(at + 4, n));
    at += 4 + n;
  }
  ASSERT_EQ(answers.size(), 4u);
  EXPECT_EQ(answers[0], R"({"id":1,"value":0})");
  EXPECT_EQ(answers[1].rfind(R"({"id":null,"error":{"code":"json")", 0), 0u);
  EXPECT_EQ(answers[2].rfind(R"({"id":null,"error":{"code":"size")", 0), 0u);
  EXPECT_EQ(answers[3], R"({"id":1,"value":0})");
  (void)!std::system(("rm -rf " + base).c_str());
}

}  // namespace
}  // namespace qorx::bridge
