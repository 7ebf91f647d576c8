#pragma once

// One connection of a page: one control instance, driven through its IDispatch by the page's
// requests, one at a time in arrival order.
//
// A request is a JSON object:
//   {"id": 1, "origin": "https://bank.example", "op": "members", "mirror": true}
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
// the call; "hresult" says how), "pinentry" (the PIN dialog could not be shown or broke off),
// "path" (HashFile or SignFile called with a file's name: a page cannot know one, and the
// answer must not tell it which files exist).
//
// HashFile and SignFile take the bytes of a file the customer chose, sent in order in chunks
// of at most kMaxChunkSize bytes, base64 in "data"; "at" is where the chunk starts:
//   {"id": 5, ..., "op": "file", "member": "SignFile", "size": 1500000}  ->  "value": 0
//   {"id": 6, ..., "op": "chunk", "at": 0, "data": "..."}     ->  "value": bytes received
//   {"id": 7, ..., "op": "chunk", "at": 524288, "data": "..."}
//   {"id": 8, ..., "op": "end"}                          ->  "value": lResult, as a call's
// The control hashes each chunk as it comes; nothing holds the file. End before the size has
// come is a file that could not be read (786). Any other request, and any refused chunk (out
// of order, over the size or the limit, not base64), abandons the file.
//
// CardVerifySecretCode and ChangeSecretCode called without their codes (left out or null) ask
// the customer in the desktop's PIN dialog (tools/bridge/Pinentry.h); see SecretCodeCall.
//
// With "mirror" the page keeps a copy of the control's properties, so that reading what a call
// left costs it no message. From then on each answer that ran the control carries what changed
// in the copy: "state" the properties with a new value, "forget" those the page must ask for
// from now on (the members answer's state is the whole copy):
//   {"id": 4, "value": 0, "state": {"sPAN": "...", "sPANSEQ": "01", "lCardStatus": 1025}}
// Stored properties are always in the copy. lCardStatus looks at the card at each read; once
// the page has read it, each call's answer brings it, and it is held only where nothing but a call
// of this page could change it without the page being told: no reader open, or a card status that
// the host's watch over the readers reports every change of (1026, 1027, 1028; an authenticated
// card is undone by another application's reset, which PC/SC reports to no watcher). The watch
// starts with the mirror and ends with the session; between calls it tells the page of cards and
// readers coming and going:
//   {"id": null, "event": {"type": "cardchange", "reader": "...", "cardStatus": 1028},
//    "forget": ["lCardStatus"]}
// with "readerAdded": true or "readerRemoved": true (status 0) for a reader that came or went.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/bridge/BridgeConfig.h"
#include "tools/bridge/Json.h"
#include "tools/bridge/Origins.h"

namespace qorx::com {
class IDispatch;
class IQorXFileStream;
struct VARIANT;
struct ControlMember;
}  // namespace qorx::com

namespace qorx::bridge {

// What one message may hold: the whole message, and one string in it.
constexpr size_t kMaxRequestSize = 1024 * 1024;
constexpr size_t kMaxStringSize = 256 * 1024;
// The bytes of one chunk of a file: its base64 with the request's other members fits in one
// message.
constexpr size_t kMaxChunkSize = 768 * 1024 - 4096;

class CardWatch;

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

  // Readable when card events wait to be told; -1 while the page has not asked for them.
  int EventDescriptor() const noexcept;
  // The messages that tell the page of the cards and readers that came and went since.
  std::vector<std::string> TakeEvents();

 private:
  std::string Members(const std::string& id, bool mirror);
  std::string Allowed(const std::string& id) const;
  std::string Invoke(const std::string& id, bool call, const std::string& member,
                     const JsonValue* args);
  void CloseReader();
  // The steps of a file sent by the page (in SessionFile.cpp).
  std::string FileRequest(const std::string& id, const std::string& op, const JsonValue& request);
  void AbandonFile() noexcept;
  void WipeChunk() noexcept;
  // CardVerifySecretCode and ChangeSecretCode: the codes from the page as the policy allows,
  // or from the PIN dialog (in SessionPin.cpp).
  std::string SecretCodeCall(const std::string& id, const std::string& member,
                             const JsonValue* args);
  // A property of the control, or the status of a method without arguments; false when the
  // control failed it.
  bool Read(const char16_t* name, bool method, std::string* text, int32_t* number);
  // The property's value as JSON; empty when the control fails to give it.
  std::string PropertyJson(const com::ControlMember& property);
  // What becomes of the card status the page holds after a request.
  enum class CardStatus : uint8_t { Keep, Look, Forget };
  // Brings the page's copy up to the control after a request and returns what changed, as
  // members to add to the answer. `read` is a property the request has just read (`value`).
  std::string Reconcile(CardStatus card, const com::ControlMember* read, const std::string& value);

  OriginList origins_;
  BridgeConfig config_;
  std::string boundOrigin_;
  com::IDispatch* control_ = nullptr;
  std::string createError_;

  bool mirror_ = false;
  // The page has asked for the card status: the answer of each call that may change it brings
  // it, for the cost of one more look at the card. A page that never reads it does not pay,
  // nor one whose card was last seen authenticated (a status the page may not hold anyway).
  bool statusWanted_ = false;
  bool statusHoldable_ = true;  // the card status last looked at could be held
  // After a call that may have changed the card status: look at it, or have the page forget it.
  CardStatus AfterCall() const {
    return statusWanted_ && statusHoldable_ ? CardStatus::Look : CardStatus::Forget;
  }
  std::unique_ptr<CardWatch> watch_;
  // The properties in the order they are read.
  std::vector<const com::ControlMember*> properties_;
  // What the page holds of each, as JSON; empty where it holds nothing.
  std::vector<std::string> held_;
  bool reconciled_ = false;  // the request's answer has brought the copy up to date

  com::IQorXFileStream* files_ = nullptr;  // the control's way in for a file's bytes
  bool fileOpen_ = false;
  bool fileKept_ = false;  // the request under way has kept the file open
  bool fileSign_ = false;
  uint64_t fileSize_ = 0;
  uint64_t fileReceived_ = 0;
  std::vector<uint8_t> chunk_;  // one chunk's bytes, decoded
};

// A property's or method's result as the page receives it (a null text comes as "").
std::string ValueJson(const com::VARIANT& value);

// An error answer to request `id` (its id as JSON text).
std::string ErrorAnswer(const std::string& id, const char* code, const std::string& message,
                        uint32_t hresult = 0);

}  // namespace qorx::bridge
