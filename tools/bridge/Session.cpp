#include "tools/bridge/Session.h"

#include <string.h>
#include <strings.h>

#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "applet/QorTerminalAppletService.h"
#include "bindings/control/Com.h"
#include "bindings/control/Module.h"
#include "bindings/control/QorXFileStream.h"
#include "bindings/control/QorXInterface.h"
#include "tools/bridge/CardWatch.h"
#include "tools/bridge/Framing.h"
#include "tools/bridge/Json.h"

namespace qorx::bridge {

using namespace qorx::com;

namespace {

std::string HresultText(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

std::string Error(const std::string& id, const char* code, const std::string& message,
                  HRESULT hr = S_OK) {
  std::string out = "{\"id\":" + id + ",\"error\":{\"code\":";
  AppendJsonString(&out, code);
  out += ",\"message\":";
  AppendJsonString(&out, message);
  if (hr != S_OK) out += ",\"hresult\":" + std::to_string(static_cast<uint32_t>(hr));
  out += "}}";
  return out;
}

// The request's id as it goes back into the answer: a whole number, or a short string.
bool IdText(const JsonValue* id, std::string* out) {
  if (id == nullptr) return false;
  if (id->type == JsonValue::Type::Number && std::trunc(id->number) == id->number &&
      std::fabs(id->number) <= 9007199254740991.0) {
    *out = std::to_string(static_cast<int64_t>(id->number));
    return true;
  }
  if (id->type == JsonValue::Type::String && id->text.size() <= 64) {
    out->clear();
    AppendJsonString(out, id->text);
    return true;
  }
  return false;
}

// Arguments as a script engine passes them: last first in DISPPARAMS.
class Arguments {
 public:
  ~Arguments() {
    for (VARIANT& v : values_) VariantClear(&v);
  }
  // False with `why` for a value no script could pass to the control.
  bool From(const JsonValue& list, std::string* why) {
    values_.resize(list.items.size());
    for (VARIANT& v : values_) VariantInit(&v);
    for (size_t i = 0; i < list.items.size(); ++i) {
      const JsonValue& item = list.items[i];
      VARIANT& v = values_[list.items.size() - 1 - i];
      switch (item.type) {
        case JsonValue::Type::String:
          // The control reads texts up to their first NUL: "1234\u00005" would verify 1234.
          if (item.text.find('\0') != std::string::npos) {
            *why = "argument " + std::to_string(i + 1) + " holds a NUL character";
            return false;
          }
          v.vt = VT_BSTR;
          v.bstrVal = BstrFromUtf8(item.text);
          if (v.bstrVal == nullptr) {
            v.vt = VT_EMPTY;
            *why = "out of memory";
            return false;
          }
          break;
        case JsonValue::Type::Number:
          if (std::trunc(item.number) == item.number && item.number >= -2147483648.0 &&
              item.number <= 2147483647.0) {
            v.vt = VT_I4;
            v.lVal = static_cast<LONG>(item.number);
          } else {
            v.vt = VT_R8;
            v.dblVal = item.number;
          }
          break;
        case JsonValue::Type::Bool:
          v.vt = VT_BOOL;
          v.boolVal = item.boolean ? VARIANT_TRUE : VARIANT_FALSE;
          break;
        case JsonValue::Type::Null:
          v.vt = VT_NULL;
          break;
        default:
          *why = "argument " + std::to_string(i + 1) + " is neither a text, a number nor a flag";
          return false;
      }
    }
    return true;
  }
  DISPPARAMS Params() {
    return {values_.empty() ? nullptr : values_.data(), nullptr,
            static_cast<uint32_t>(values_.size()), 0};
  }

 private:
  std::vector<VARIANT> values_;
};

// Whether a string of `value` (a member's name too) is over the limit for texts, but for the
// one `except`: a chunk's data, which may take the whole message.
bool HoldsLongText(const JsonValue& value, const JsonValue* except) {
  if (&value == except) return false;
  if (value.text.size() > kMaxStringSize) return true;
  for (const JsonValue& item : value.items)
    if (HoldsLongText(item, except)) return true;
  for (const auto& member : value.members)
    if (member.first.size() > kMaxStringSize || HoldsLongText(member.second, except)) return true;
  return false;
}

// The members that read a named file; the control matches names whatever their case.
bool NamesFileMember(const std::string& name) {
  return strcasecmp(name.c_str(), "HashFile") == 0 || strcasecmp(name.c_str(), "SignFile") == 0;
}

// Methods that never look at the card: after them the card status is what it was.
bool LeavesCardAlone(const ControlMember& m) {
  for (const char* name : {"CalculateSHA1Hash", "HashFile", "GetReaderCount", "GetReaderName",
                           "PerformPCSCDiagnosticTest"})
    if (strcmp(m.name, name) == 0) return true;
  return false;
}

// Where a property comes in the order of reading: the card status first, since its look at the
// card may change what follows; the last error last, since reading the active reader may set it.
int ReadingRank(const ControlMember& m) {
  if (strcmp(m.name, "lCardStatus") == 0) return 0;
  if (strcmp(m.name, "sActiveReader") == 0) return 1;
  if (strcmp(m.name, "wSCardError") == 0 || strcmp(m.name, "sSCardError") == 0) return 3;
  return 2;
}

}  // namespace

std::string ValueJson(const VARIANT& value) {
  if (value.vt == VT_I4) return std::to_string(value.lVal);
  if (value.vt != VT_BSTR) return "null";
  const TSDByteArray text = Utf16ToUtf8(value.bstrVal, SysStringLen(value.bstrVal));
  std::string out;
  AppendJsonString(&out, std::string(text.CStr(), static_cast<size_t>(text.TextLength())));
  return out;
}

std::string ErrorAnswer(const std::string& id, const char* code, const std::string& message,
                        uint32_t hresult) {
  return Error(id, code, message, static_cast<HRESULT>(hresult));
}

Session::Session(OriginList origins, BridgeConfig config)
    : origins_(std::move(origins)), config_(std::move(config)) {
  for (int rank = 0; rank < 4; ++rank) {
    for (int i = 0; i < kControlMemberCount; ++i) {
      const ControlMember& m = ControlMembers()[i];
      if (m.kind == MemberKind::Property && ReadingRank(m) == rank) properties_.push_back(&m);
    }
  }
  IClassFactory* factory = nullptr;
  HRESULT hr =
      GetControlClassObject(CLSID_QorX, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (Succeeded(hr) && factory != nullptr) {
    hr = factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&control_));
    factory->Release();
  }
  if (Failed(hr) || control_ == nullptr) {
    control_ = nullptr;
    createError_ = "the control could not be created (HRESULT " + HresultText(hr) + ")";
    return;
  }
  // A control without it takes no file from a page: such requests get its "control" error.
  if (Failed(control_->QueryInterface(IID_IQorXFileStream, reinterpret_cast<void**>(&files_))))
    files_ = nullptr;
}

Session::~Session() {
  watch_.reset();
  AbandonFile();
  if (files_ != nullptr) files_->Release();
  if (control_ == nullptr) return;
  CloseReader();
  control_->Release();
}

void Session::CloseReader() {
  // The page went away without Close: end what it held, so that the next client finds the
  // reader free. A control that has no reader open answers its own error; nothing to do then.
  VARIANT active;
  VariantInit(&active);
  OLECHAR name[] = u"bActive";
  OLECHAR* names[] = {name};
  DISPID id = DISPID_UNKNOWN;
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  if (Failed(control_->GetIDsOfNames(IID_NULL, names, 1, 0, &id)) ||
      Failed(control_->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &active, nullptr,
                              nullptr)))
    return;
  const bool open = active.vt == VT_I4 && active.lVal != 0;
  VariantClear(&active);
  if (!open) return;
  OLECHAR close[] = u"Close";
  names[0] = close;
  VARIANT result;
  VariantInit(&result);
  if (Succeeded(control_->GetIDsOfNames(IID_NULL, names, 1, 0, &id)))
    (void)control_->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr);
  VariantClear(&result);
}

std::string Session::Oversized(uint32_t declared) {
  return Error("null", "size",
               "a message of " + std::to_string(declared) + " bytes is over the limit of " +
                   std::to_string(kMaxRequestSize));
}

std::string Session::Handle(const uint8_t* data, size_t size) {
  // A file being sent stays open only through its own next steps: anything else, a refused
  // step included, abandons it.
  fileKept_ = false;
  struct Abandon {
    Session* session;
    ~Abandon() {
      if (!session->fileKept_) session->AbandonFile();
    }
  } abandon{this};
  if (size > kMaxRequestSize) return Oversized(static_cast<uint32_t>(size));
  // Texts are parsed up to the message's size, and then held to their own limit, which only a
  // chunk's data may pass.
  JsonLimits limits;
  limits.maxString = kMaxRequestSize;
  JsonValue request;
  std::string why;
  if (!ParseJson(data, size, limits, &request, &why)) {
    return Error("null", why == "too many elements" ? "size" : "json",
                 "the message is not valid JSON: " + why);
  }
  if (request.type != JsonValue::Type::Object)
    return Error("null", "request", "a request is a JSON object");
  std::string id;
  if (!IdText(request.Find("id"), &id))
    return Error("null", "request", "a request needs an id: a whole number or a short text");

  const JsonValue* op = request.Find("op");
  const bool chunk = op != nullptr && op->type == JsonValue::Type::String && op->text == "chunk";
  if (HoldsLongText(request, chunk ? request.Find("data") : nullptr))
    return Error(
        id, "size",
        "a text in the request is over the limit of " + std::to_string(kMaxStringSize) + " bytes");
  const JsonValue* origin = request.Find("origin");
  // The extension asks for the list itself, naming no page; it adds the page's origin to
  // every message of a page.
  if (origin == nullptr && op != nullptr && op->type == JsonValue::Type::String &&
      op->text == "origins")
    return Allowed(id);
  if (origin == nullptr || origin->type != JsonValue::Type::String)
    return Error(id, "request", "a request names the page's origin");
  if (!origins_.Allows(origin->text))
    return Error(id, "origin", "pages of " + origin->text + " may not use the card reader");
  // One connection serves one page; a second origin on it is not that page.
  if (boundOrigin_.empty()) boundOrigin_ = origin->text;
  if (origin->text != boundOrigin_)
    return Error(id, "origin", "this connection belongs to " + boundOrigin_);

  if (op == nullptr || op->type != JsonValue::Type::String)
    return Error(id, "request", "a request has an op: \"members\", \"get\" or \"call\"");
  if (control_ == nullptr) return Error(id, "control", createError_);
  if (op->text == "file" || op->text == "chunk" || op->text == "end")
    return FileRequest(id, op->text, request);
  if (op->text == "members") {
    const JsonValue* mirror = request.Find("mirror");
    return Members(id,
                   mirror != nullptr && mirror->type == JsonValue::Type::Bool && mirror->boolean);
  }
  const bool call = op->text == "call";
  if (!call && op->text != "get")
    return Error(id, "request", "a request has an op: \"members\", \"get\" or \"call\"");
  const JsonValue* member = request.Find("member");
  // Names are plain identifiers: a NUL or other character could otherwise end the name early
  // for the control and make "Open\u0000x" call Open.
  bool plain = member != nullptr && member->type == JsonValue::Type::String &&
               !member->text.empty() && member->text.size() <= 64;
  for (size_t i = 0; plain && i < member->text.size(); ++i) {
    const char c = member->text[i];
    plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  }
  if (!plain) return Error(id, "request", "a request names a member of the control");
  if (call && NamesFileMember(member->text))
    return Error(id, "path",
                 "a page cannot name a local file: " + member->text +
                     " takes a File or Blob that the customer chose");
  const JsonValue* args = request.Find("args");
  if (args != nullptr && args->type != JsonValue::Type::Array)
    return Error(id, "arguments", "args is a list");
  if (!call && args != nullptr && !args->items.empty())
    return Error(id, "arguments", "a property is read without arguments");
  std::string answer;
  if (call && (member->text == "CardVerifySecretCode" || member->text == "ChangeSecretCode")) {
    reconciled_ = false;
    answer = SecretCodeCall(id, member->text, args);
    // An answer given without the method (no dialog, or none answered) may follow a look at
    // the card and a read of its state: the copy follows those too.
    if (mirror_ && !reconciled_)
      answer.insert(answer.size() - 1, Reconcile(AfterCall(), nullptr, std::string()));
  } else {
    answer = Invoke(id, call, member->text, args);
  }
  // The secret-code calls too: an answer over the limit would end the host at its write.
  if (answer.size() <= kMaxAnswerSize) return answer;
  answer = Error(id, "size", "the answer is over the browser's limit of 1 MB");
  if (mirror_) {
    // The copy cannot be kept up to date through answers that large: the page gives it up and
    // asks for every property from now on.
    mirror_ = false;
    std::string forget;
    for (const ControlMember* p : properties_) {
      forget.push_back(forget.empty() ? '[' : ',');
      AppendJsonString(&forget, p->name);
    }
    answer.insert(answer.size() - 1, ",\"forget\":" + forget + "]");
    held_.clear();
  }
  return answer;
}

std::string Session::Allowed(const std::string& id) const {
  std::string out = "{\"id\":" + id + ",\"origins\":[";
  for (size_t i = 0; i < origins_.Entries().size(); ++i) {
    if (i > 0) out.push_back(',');
    AppendJsonString(&out, origins_.Entries()[i]);
  }
  return out + "]}";
}

std::string Session::Members(const std::string& id, bool mirror) {
  if (mirror && !mirror_) {
    mirror_ = true;
    watch_ = std::make_unique<CardWatch>();
    // Without PC/SC there is nothing to watch; the card status is then never held.
    if (!watch_->Start()) watch_.reset();
  }
  std::string out = "{\"id\":" + id + ",\"members\":[";
  for (int i = 0; i < kControlMemberCount; ++i) {
    const ControlMember& m = ControlMembers()[i];
    if (i > 0) out.push_back(',');
    out += "{\"name\":";
    AppendJsonString(&out, m.name);
    if (m.kind == MemberKind::Property) {
      out += ",\"kind\":\"property\"}";
      continue;
    }
    out += ",\"kind\":\"method\",\"params\":[";
    for (uint8_t p = 0; p < m.paramCount; ++p) {
      if (p > 0) out.push_back(',');
      AppendJsonString(&out, m.paramNames[p]);
    }
    out += "]}";
  }
  out += "]";
  if (mirror_) {
    held_.assign(properties_.size(), std::string());
    out += Reconcile(CardStatus::Look, nullptr, std::string());
  }
  out += "}";
  return out;
}

std::string Session::Invoke(const std::string& id, bool call, const std::string& member,
                            const JsonValue* args) {
  std::u16string name = Utf8ToUtf16(member.data(), member.size());
  OLECHAR* names[] = {name.data()};
  DISPID dispid = DISPID_UNKNOWN;
  HRESULT hr = control_->GetIDsOfNames(IID_NULL, names, 1, 0, &dispid);
  if (Failed(hr)) return Error(id, "member", "the control has no member " + member, hr);

  Arguments arguments;
  std::string why;
  if (args != nullptr && !arguments.From(*args, &why)) return Error(id, "arguments", why);
  DISPPARAMS params = arguments.Params();
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO exception;
  memset(static_cast<void*>(&exception), 0, sizeof exception);
  uint32_t argError = 0;
  hr = control_->Invoke(dispid, IID_NULL, 0, call ? DISPATCH_METHOD : DISPATCH_PROPERTYGET, &params,
                        &result, &exception, &argError);
  if (hr == DISP_E_EXCEPTION && Failed(exception.scode)) hr = exception.scode;
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);
  const bool refused = hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_BADPARAMCOUNT ||
                       hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW ||
                       hr == DISP_E_PARAMNOTFOUND;
  // A request the control refused did nothing; after any other the page's copy is brought up
  // to date, even when the control failed it.
  std::string changes;
  const ControlMember* described = FindControlMember(dispid);
  if (mirror_ && !refused && described != nullptr) {
    const bool read = !call && Succeeded(hr);
    if (read && described == properties_[0]) statusWanted_ = true;
    CardStatus card = CardStatus::Keep;
    if (call && !LeavesCardAlone(*described)) card = AfterCall();
    changes = Reconcile(card, read ? described : nullptr, read ? ValueJson(result) : std::string());
    reconciled_ = true;
  }
  std::string out;
  if (hr == DISP_E_MEMBERNOTFOUND) {
    out = Error(
        id, "member",
        member + (call ? " is a property: read it with get" : " is a method: call it with call"),
        hr);
  } else if (refused) {
    out = Error(id, "arguments", "wrong arguments for " + member, hr);
  } else if (Failed(hr)) {
    out = Error(id, "control", member + " failed", hr);
    out.insert(out.size() - 1, changes);
  } else {
    out = "{\"id\":" + id + ",\"value\":" + ValueJson(result) + changes + "}";
  }
  VariantClear(&result);
  return out;
}

}  // namespace qorx::bridge
