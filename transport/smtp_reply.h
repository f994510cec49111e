// An SMTP reply as a value, and the parser that builds it from received bytes. The parser
// is bounded: a line longer than the limit is kept cut, and a reply with too many lines or
// bytes ends as TooLong, so a hostile server can make a reply fail but never grow it.
// Reading from a socket is smtp_wire's; this file knows nothing of sockets.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tarnhold {

struct SmtpReplyLimits {
  std::size_t line_chars = 510;       // characters kept of one line (line end not counted)
  std::size_t max_lines = 100;        // lines of one reply
  std::size_t max_bytes = 64 * 1024;  // bytes of one reply, dropped characters included
};

enum class SmtpReplyStatus {
  Complete,  // the last line (no dash after its code) has arrived
  Closed,    // the peer closed (or the socket failed) before the last line
  TimedOut,  // the time for the reply ran out, or the caller aborted
  TooLong,   // more lines or bytes than the limits allow
};

struct SmtpReply {
  SmtpReplyStatus status = SmtpReplyStatus::Closed;
  // The three-digit code of the last line; 0 when the reply is not Complete or its last line
  // does not begin with three digits.
  int code = 0;
  // Every line without its line end, cut to the line limit; control characters read "?".
  std::vector<std::string> lines;

  [[nodiscard]] bool Complete() const { return status == SmtpReplyStatus::Complete; }
  // 2xx: the command was accepted.
  [[nodiscard]] bool IsPositive() const { return Complete() && code >= 200 && code <= 299; }
  // 3xx: the server waits for more (the go-ahead for the message text).
  [[nodiscard]] bool IsIntermediate() const { return Complete() && code >= 300 && code <= 399; }
  // The lines joined with " " for one log line ("" when there are none).
  [[nodiscard]] std::string Text() const;
};

// A reply line's code: the value of its first three characters when they are digits, else 0.
[[nodiscard]] int ReplyLineCode(std::string_view line);
// Whether a reply line announces more lines: a "-" directly after the three-digit code.
// "250-text" and "250- text" go on; "250 text", "250" and a line without a code end the reply.
[[nodiscard]] bool ReplyLineContinues(std::string_view line);

class SmtpReplyParser {
 public:
  explicit SmtpReplyParser(SmtpReplyLimits limits = {});

  // Takes received bytes in any pieces. Returns how many it used: all of them, unless the
  // reply ended inside `bytes` (after the LF of its last line, or at a limit).
  std::size_t Feed(std::string_view bytes);
  // The reply has ended: its last line arrived, or a limit was passed.
  [[nodiscard]] bool Done() const { return done_; }
  // After a Complete reply: counts the next line as part of the same reply. Used for lines
  // that were already waiting after the last one (a server that forgot its dashes).
  void Continue();
  // The reply so far. When it has not ended, its status is `unfinished` (Closed or TimedOut)
  // and the code 0. The parser starts over afterwards.
  [[nodiscard]] SmtpReply Finish(SmtpReplyStatus unfinished = SmtpReplyStatus::Closed);

 private:
  void EndLine();

  SmtpReplyLimits limits_;
  SmtpReply reply_;
  std::string line_;
  std::size_t bytes_ = 0;
  bool done_ = false;
};

// Parses a whole text that holds one reply (tests, fuzzing): Feed, then Finish.
[[nodiscard]] SmtpReply ParseSmtpReply(std::string_view text, SmtpReplyLimits limits = {});

}  // namespace tarnhold
