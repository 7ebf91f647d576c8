#pragma once

// One connection of a page: one control instance, driven through its IDispatch by the page's
// requests, one at a time in arrival order.
//
// A request is a JSON object:
//   {"id": 1, "origin": "https://bank.example", "op": "members"}
//   {"id": 2, "origin": ..., "op": "get",  "member": "lCardStatus"}
//   {"id": 3, "origin": ..., "op": "call", "member": "Open", "args": [""]}
//   {"id": 4, "op": "origins"}   the extension itself, naming no page: the allowed origins
// and its answer carries the same id with the result, or an error:
//   {"id": 1, "members": [{"name": "lCardStatus", "kind": "property"},
//                         {"name": "Open", "kind": "method", "params": ["sReaderName"]}, ...]}
//   {"id": 2, "value": 1026}
//   {"id": 4, "origins": ["https://bank.example"]}
//   {"id": 3, "error": {"code": "origin", "message": "..."}}
// Error codes: "json" (not a JSON message), "request" (malformed request), "size" (over a
// limit), "origin" (origin not allowed), "member" (no such member, or a property called as a
// method and the reverse), "arguments" (wrong number or types), "control" (the control failed
// the call; "hresult" says how), "pinentry" (the PIN dialog could not be shown or broke off).
//
// CardVerifySecretCode and ChangeSecretCode called without their codes (left out or null) ask
// the customer in the desktop's PIN dialog (tools/bridge/Pinentry.h); see SecretCodeCall.

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/bridge/BridgeConfig.h"
#include "tools/bridge/Json.h"
#include "tools/bridge/Origins.h"

namespace qorx::com {
class IDispatch;
}

namespace qorx::bridge {

// What one message may hold: the whole message, and one string in it.
constexpr size_t kMaxRequestSize = 1024 * 1024;
constexpr size_t kMaxStringSize = 256 * 1024;

class Session {
 public:
  explicit Session(OriginList origins, BridgeConfig config = BridgeConfig());
  ~Session();  // closes the reader if one is open, then releases the control
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The answer to one message (never longer than the browser accepts).
  std::string Handle(const uint8_t* data, size_t size);
  // The answer to a message that was over the size limit.
  static std::string Oversized(uint32_t declared);

 private:
  std::string Members(const std::string& id);
  std::string Allowed(const std::string& id) const;
  std::string Invoke(const std::string& id, bool call, const std::string& member,
                     const JsonValue* args);
  void CloseReader();
  // CardVerifySecretCode and ChangeSecretCode: the codes from the page as the policy allows,
  // or from the PIN dialog (in SessionPin.cpp).
  std::string SecretCodeCall(const std::string& id, const std::string& member,
                             const JsonValue* args);
  // A property of the control, or the status of a method without arguments; false when the
  // control failed it.
  bool Read(const char16_t* name, bool method, std::string* text, int32_t* number);

  OriginList origins_;
  BridgeConfig config_;
  std::string boundOrigin_;
  com::IDispatch* control_ = nullptr;
  std::string createError_;
};

// An error answer to request `id` (its id as JSON text).
std::string ErrorAnswer(const std::string& id, const char* code, const std::string& message,
                        uint32_t hresult = 0);

}  // namespace qorx::bridge
