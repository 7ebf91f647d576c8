// The secret-code calls of a session: the page's codes as the policy allows them, or the
// customer's, typed into the desktop's PIN dialog so that the page never holds them.

#include <string>

#include "applet/QorTerminalAppletService.h"
#include "bindings/control/Com.h"
#include "core/StatusCodes.h"
#include "tools/bridge/Pinentry.h"
#include "tools/bridge/Session.h"

namespace qorx::bridge {

using namespace qorx::com;

namespace {

constexpr size_t kMaxCodeLength = 15;  // what the card service accepts
// A new code that does not match its repetition, or is too long, is asked for again so often.
constexpr int kNewCodeRounds = 3;

std::string Value(const std::string& id, int32_t status) {
  return "{\"id\":" + id + ",\"value\":" + std::to_string(status) + "}";
}

// A code as an argument: the string reserved to its length so that no copy is left behind.
void AddCode(JsonValue* args, const SecretText& code) {
  args->items.emplace_back();
  JsonValue& item = args->items.back();
  item.type = JsonValue::Type::String;
  item.text.reserve(code.Length());
  item.text.append(code.Data(), code.Length());
}

}  // namespace

bool Session::Read(const char16_t* name, bool method, std::string* text, int32_t* number) {
  std::u16string copy(name);
  OLECHAR* names[] = {copy.data()};
  DISPID dispid = DISPID_UNKNOWN;
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  if (Failed(control_->GetIDsOfNames(IID_NULL, names, 1, 0, &dispid)) ||
      Failed(control_->Invoke(dispid, IID_NULL, 0, method ? DISPATCH_METHOD : DISPATCH_PROPERTYGET,
                              &none, &result, nullptr, nullptr))) {
    VariantClear(&result);
    return false;
  }
  if (result.vt == VT_I4 && number != nullptr) *number = result.lVal;
  if (result.vt == VT_BSTR && text != nullptr) {
    const TSDByteArray utf8 = Utf16ToUtf8(result.bstrVal, SysStringLen(result.bstrVal));
    text->assign(utf8.CStr(), static_cast<size_t>(utf8.TextLength()));
  }
  VariantClear(&result);
  return true;
}

std::string Session::SecretCodeCall(const std::string& id, const std::string& member,
                                    const JsonValue* args) {
  const bool change = member == "ChangeSecretCode";
  const size_t codes = change ? 2 : 1;
  size_t given = 0;
  if (args != nullptr) {
    for (const JsonValue& item : args->items)
      if (item.type != JsonValue::Type::Null) ++given;
  }
  if (given > 0 || (args != nullptr && args->items.size() > codes)) {
    if (config_.pinEntry == PinEntryPolicy::Host) return Value(id, aps::kPageCodeRefused);
    return Invoke(id, true, member, args);
  }

  // No dialog for an operation that cannot run: the card is not authenticated (the control
  // answers that without a card command), or its tries cannot be read.
  int32_t state = 0;
  if (Read(u"lCardStatus", false, nullptr, &state) &&
      state > TQorTerminalAppletService::StateCardAuthenticated) {
    JsonValue empty;
    empty.type = JsonValue::Type::Array;
    SecretText none;
    for (size_t i = 0; i < codes; ++i) AddCode(&empty, none);
    return Invoke(id, true, member, &empty);
  }
  int32_t status = aps::kUnexpected;
  if (!Read(u"GetApplicationState", true, nullptr, &status) || status != aps::kSuccess)
    return Value(id, status);
  int32_t tries = 0;
  std::string reader;
  Read(u"wRetries", false, nullptr, &tries);
  Read(u"sActiveReader", false, &reader, nullptr);

  const std::string title = "QorX card reader";
  const std::string where = boundOrigin_ + " asks for the PIN of the card in the reader " + reader +
                            ".\nTries left: " + std::to_string(tries) + ".";
  PinDialog dialog(FindPinentry(config_.pinentryProgram), config_.pinentrySeconds);
  std::string why;
  JsonValue entered;
  entered.type = JsonValue::Type::Array;
  entered.items.reserve(codes);
  SecretText code;
  PinAnswer answer = dialog.Ask(title, where + (change ? "\nFirst your current PIN." : ""),
                                change ? "Current PIN:" : "PIN:", "", &code, &why);
  if (answer == PinAnswer::Given) AddCode(&entered, code);
  for (int round = 0; change && answer == PinAnswer::Given; ++round) {
    if (round == kNewCodeRounds) return Value(id, aps::kSecretCodeRejected);
    const std::string retry =
        round == 0 ? ""
        : code.Overlong() || code.Length() > kMaxCodeLength
            ? "The new PIN has more than " + std::to_string(kMaxCodeLength) + " characters."
            : "The two new PINs differ.";
    SecretText again;
    answer = dialog.Ask(title, where + "\nYour new PIN.", "New PIN:", retry, &code, &why);
    if (answer != PinAnswer::Given) break;
    if (code.Overlong() || code.Length() > kMaxCodeLength) continue;
    answer =
        dialog.Ask(title, where + "\nYour new PIN once more.", "New PIN again:", "", &again, &why);
    if (answer != PinAnswer::Given) break;
    if (code.Equals(again)) {
      AddCode(&entered, code);
      break;
    }
  }
  if (answer == PinAnswer::Cancelled) return Value(id, aps::kPinEntryCancelled);
  if (answer == PinAnswer::Failed) return ErrorAnswer(id, "pinentry", why);
  return Invoke(id, true, member, &entered);
}

}  // namespace qorx::bridge
