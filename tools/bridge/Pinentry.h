#pragma once

// The customer's PIN dialog: GnuPG's pinentry (or any program speaking its Assuan protocol),
// started for one question or a few and ended after them. The code typed never leaves the
// host in a message: it goes from the program's answer into a SecretText and from there to
// the card operation, and every buffer it passed through is wiped.
//
// libassuan does the protocol, as in GnuPG itself; its memory is handed out by wiping
// allocators (its line buffer holds the answer), and its reads wait with a deadline, so that
// a program that hangs cannot hold the host.

#include <cstddef>
#include <string>

namespace qorx::bridge {

// A code from the dialog: a fixed buffer, wiped when it goes.
class SecretText {
 public:
  static constexpr size_t kCapacity = 64;

  SecretText() = default;
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
  ~SecretText() { Clear(); }

  void Append(const char* bytes, size_t length) noexcept;  // beyond capacity: marks it overlong
  void Clear() noexcept;
  const char* Data() const noexcept { return data_; }
  size_t Length() const noexcept { return length_; }
  bool Overlong() const noexcept { return overlong_; }
  bool Equals(const SecretText& other) const noexcept;

 private:
  char data_[kCapacity] = {};
  size_t length_ = 0;
  bool overlong_ = false;
};

enum class PinAnswer {
  Given,      // the customer typed a code and confirmed it
  Cancelled,  // cancelled, the dialog closed, no answer in time, or the browser went away
  Failed,     // no program, or one that crashed, hung before asking or answered nonsense
};

class PinDialog {
 public:
  // `program` as FindPinentry gives it; `seconds` is how long one question waits.
  PinDialog(std::string program, int seconds);
  ~PinDialog();  // ends the program, by force if it does not go
  PinDialog(const PinDialog&) = delete;
  PinDialog& operator=(const PinDialog&) = delete;

  // Asks for one code. `description` is plain UTF-8 (lines apart by '\n'); `error`, when not
  // empty, is shown above the field (a retry). On Failed, `why` says what went wrong.
  PinAnswer Ask(const std::string& title, const std::string& description, const std::string& prompt,
                const std::string& error, SecretText* code, std::string* why);

 private:
  bool Start(std::string* why);

  struct State;
  std::string program_;
  int seconds_;
  State* state_ = nullptr;
};

// The dialog program: `configured` when set, else $QORX_PINENTRY, else "pinentry" found on
// PATH; "" when none can be run.
std::string FindPinentry(const std::string& configured);

// From another thread: the browser went away, so the dialog under way, and any later one,
// ends as cancelled at once.
void AbandonPinDialogs() noexcept;

}  // namespace qorx::bridge
