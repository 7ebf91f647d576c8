// A file the customer chose, sent by the page in chunks to the control's file stream: the
// control hashes each chunk as it comes, so neither the host nor the control ever holds the
// file, and ends it as HashFile or SignFile of the same file would.

#include <string.h>

#include <cmath>
#include <string>

#include "bindings/control/Com.h"
#include "bindings/control/QorXFileStream.h"
#include "tools/bridge/Base64.h"
#include "tools/bridge/Session.h"

namespace qorx::bridge {

using namespace qorx::com;

namespace {

// A byte count or position from the page: a whole number JavaScript holds exactly.
bool Count(const JsonValue* value, uint64_t* out) {
  if (value == nullptr || value->type != JsonValue::Type::Number || value->number < 0 ||
      value->number > 9007199254740991.0 || std::trunc(value->number) != value->number)
    return false;
  *out = static_cast<uint64_t>(value->number);
  return true;
}

std::string Value(const std::string& id, const std::string& value) {
  return "{\"id\":" + id + ",\"value\":" + value + "}";
}

}  // namespace

void Session::WipeChunk() noexcept {
  // The customer's file may be private: its last chunk does not stay behind.
  if (!chunk_.empty()) explicit_bzero(chunk_.data(), chunk_.size());
}

void Session::AbandonFile() noexcept {
  if (!fileOpen_) return;
  fileOpen_ = false;
  if (files_ != nullptr) files_->AbandonFile();
  WipeChunk();
}

std::string Session::FileRequest(const std::string& id, const std::string& op,
                                 const JsonValue& request) {
  if (files_ == nullptr) return ErrorAnswer(id, "control", "this control takes no file");
  if (op == "file") {
    AbandonFile();
    const JsonValue* member = request.Find("member");
    uint64_t size = 0;
    if (member == nullptr || member->type != JsonValue::Type::String ||
        (member->text != "HashFile" && member->text != "SignFile"))
      return ErrorAnswer(id, "request", "a file is sent to HashFile or SignFile");
    if (!Count(request.Find("size"), &size))
      return ErrorAnswer(id, "request", "a file's size is a whole number of bytes");
    const HRESULT hr = files_->BeginFile(size);
    if (Failed(hr)) return ErrorAnswer(id, "control", "the file cannot be taken", hr);
    fileOpen_ = true;
    fileKept_ = true;
    fileSign_ = member->text == "SignFile";
    fileSize_ = size;
    fileReceived_ = 0;
    return Value(id, "0");
  }
  if (!fileOpen_)
    return ErrorAnswer(id, "request", "no file is being sent: the first step is op \"file\"");
  if (op == "end") {
    fileOpen_ = false;
    LONG status = 0;
    const HRESULT hr = files_->EndFile(fileSign_ ? 1 : 0, &status);
    WipeChunk();
    if (Failed(hr)) return ErrorAnswer(id, "control", "the file cannot be ended", hr);
    // As after a call of the method itself: a signature looked at the card, a hash did not.
    std::string changes;
    if (mirror_) {
      changes = Reconcile(fileSign_ ? AfterCall() : CardStatus::Keep, nullptr, std::string());
      reconciled_ = true;
    }
    return Value(id, std::to_string(status) + changes);
  }

  uint64_t at = 0;
  if (!Count(request.Find("at"), &at) || at != fileReceived_)
    return ErrorAnswer(
        id, "request",
        "a chunk out of order: the file goes on at byte " + std::to_string(fileReceived_));
  const JsonValue* data = request.Find("data");
  if (data == nullptr || data->type != JsonValue::Type::String)
    return ErrorAnswer(id, "request", "a chunk's data is a base64 text");
  // Room for the most a message can carry, made once: a buffer that grew would leave the
  // file's bytes behind in the one it left.
  if (chunk_.empty()) chunk_.resize(Base64MaxDecoded(kMaxRequestSize));
  if (Base64MaxDecoded(data->text.size()) > chunk_.size())
    return ErrorAnswer(id, "size", "a chunk is over the limit of " + std::to_string(kMaxChunkSize));
  size_t length = 0;
  if (!DecodeBase64(data->text.data(), data->text.size(), chunk_.data(), &length))
    return ErrorAnswer(id, "request", "a chunk's data is not base64");
  if (length > kMaxChunkSize || length > fileSize_ - fileReceived_)
    return ErrorAnswer(
        id, "size",
        "a chunk of " + std::to_string(length) + " bytes is over " +
            (length > kMaxChunkSize ? "the limit of " + std::to_string(kMaxChunkSize)
                                    : "the file's size of " + std::to_string(fileSize_)));
  const HRESULT hr = files_->FileData(chunk_.data(), static_cast<uint32_t>(length));
  if (Failed(hr)) return ErrorAnswer(id, "control", "the chunk cannot be taken", hr);
  fileReceived_ += length;
  fileKept_ = true;
  return Value(id, std::to_string(fileReceived_));
}

}  // namespace qorx::bridge
