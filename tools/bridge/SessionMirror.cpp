// What a mirroring page is told beside its answers: the properties a request changed, and the
// cards and readers the watch saw come and go.
#include <string.h>

#include <string>
#include <vector>

#include "applet/QorTerminalAppletService.h"
#include "bindings/control/Com.h"
#include "bindings/control/QorXInterface.h"
#include "tools/bridge/CardWatch.h"
#include "tools/bridge/Json.h"
#include "tools/bridge/Session.h"

namespace qorx::bridge {

using namespace qorx::com;

namespace {

// The card status with no reader open: only a call can change it.
constexpr char kNoReaderStatus[] = "0";

// A card status that the watch over the readers reports every change of.
bool FollowedStatus(const std::string& status) {
  for (int32_t followed :
       {TQorTerminalAppletService::StateCardReady, TQorTerminalAppletService::StateCardMute,
        TQorTerminalAppletService::StateNoCard})
    if (status == std::to_string(followed)) return true;
  return false;
}

}  // namespace

int Session::EventDescriptor() const noexcept {
  return watch_ ? watch_->Descriptor() : -1;
}

std::vector<std::string> Session::TakeEvents() {
  std::vector<std::string> messages;
  if (!watch_) return messages;
  bool interrupted = false;
  const std::vector<CardChange> changes = watch_->Take(&interrupted);
  // The card status the page holds may be another now; held without a reader open, it cannot.
  std::string forget;
  if (!held_.empty() && !held_[0].empty() && held_[0] != kNoReaderStatus &&
      (interrupted || !changes.empty())) {
    held_[0].clear();
    forget = ",\"forget\":[\"lCardStatus\"]";
  }
  for (const CardChange& change : changes) {
    std::string m = "{\"id\":null,\"event\":{\"type\":\"cardchange\",\"reader\":";
    AppendJsonString(&m, change.reader);
    m += ",\"cardStatus\":" + std::to_string(change.cardStatus);
    if (change.readerAdded) m += ",\"readerAdded\":true";
    if (change.readerRemoved) m += ",\"readerRemoved\":true";
    m += "}" + forget + "}";
    forget.clear();
    messages.push_back(std::move(m));
  }
  if (!forget.empty()) messages.push_back("{\"id\":null" + forget + "}");
  return messages;
}

std::string Session::PropertyJson(const ControlMember& property) {
  VARIANT result;
  VariantInit(&result);
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  std::string json;
  if (Succeeded(control_->Invoke(property.id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result,
                                 nullptr, nullptr)))
    json = ValueJson(result);
  VariantClear(&result);
  return json;
}

std::string Session::Reconcile(CardStatus card, const ControlMember* read,
                               const std::string& value) {
  std::vector<std::string> now(properties_.size());
  for (size_t i = 0; i < properties_.size(); ++i) {
    if (properties_[i] == read)
      now[i] = value;
    else if (i > 0 || card == CardStatus::Look)
      now[i] = PropertyJson(*properties_[i]);
    else if (card == CardStatus::Keep)
      now[i] = held_[0];  // nothing looked at the card
  }
  // The card status is held only where nothing the page is not told of can change it.
  if (read == properties_[0] || card == CardStatus::Look) {
    const std::string& status = now[0];
    const bool noReader = status == kNoReaderStatus && now[1] == "\"\"";
    const bool followed = watch_ && watch_->Following() && FollowedStatus(status);
    if (!noReader && !followed) now[0].clear();
    statusHoldable_ = noReader || FollowedStatus(status);
  }
  std::string state, forget;
  for (size_t i = 0; i < properties_.size(); ++i) {
    if (now[i] == held_[i]) continue;
    std::string& list = now[i].empty() ? forget : state;
    if (!list.empty()) list.push_back(',');
    AppendJsonString(&list, properties_[i]->name);
    if (!now[i].empty()) list += ":" + now[i];
    held_[i].swap(now[i]);
  }
  std::string out;
  if (!state.empty()) out += ",\"state\":{" + state + "}";
  if (!forget.empty()) out += ",\"forget\":[" + forget + "]";
  return out;
}

}  // namespace qorx::bridge
