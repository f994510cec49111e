// The transparent form of message data on an SMTP connection: a "." that begins a line is
// doubled, so no line of the content can end the data early. A streaming transform: input
// arrives in any pieces and the output of each piece is at most twice its size, so a caller
// can send in fixed blocks and never holds a whole message.
#pragma once

#include <string>
#include <string_view>

namespace tarnhold {

enum class DataForm {
  // Message text: a bare LF becomes CR LF (SMTP lines end in CR LF, and a receiver must
  // never meet a bare LF before a "."), and a "." at the start or after CR or LF is doubled.
  Text,
  // File content: bytes kept as they are, except that a "." at the start or after LF is
  // doubled; the receiving side removes the extra dot again.
  File,
};

class DotStuffer {
 public:
  explicit DotStuffer(DataForm form) : form_(form) {}

  // Appends the transparent form of `in` to `out`.
  void Transform(std::string_view in, std::string& out);
  // Whether the bytes given so far end a line (true before any byte).
  [[nodiscard]] bool AtLineStart() const { return at_line_start_; }

 private:
  DataForm form_;
  bool at_line_start_ = true;
  bool after_cr_ = false;
};

// The transparent form of a whole text (tests and small texts).
[[nodiscard]] std::string DotStuff(std::string_view in, DataForm form);

}  // namespace tarnhold
