#include "transport/smtp_reply.h"

#include <utility>

namespace tarnhold {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Log lines are one line each: a CR, a NUL or an escape sequence from a peer must not reach
// them as it came.
void MakePrintable(std::string& text) {
  for (char& c : text) {
    auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7f) c = '?';
  }
}

}  // namespace

std::string SmtpReply::Text() const {
  std::string text;
  for (const std::string& line : lines) {
    if (!text.empty()) text += ' ';
    text += line;
  }
  return text;
}

int ReplyLineCode(std::string_view line) {
  // reply-line = *( Reply-code "-" [ textstring ] CRLF ) Reply-code [ SP textstring ] CRLF
  if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) return 0;
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

bool ReplyLineContinues(std::string_view line) {
  return ReplyLineCode(line) != 0 && line.size() > 3 && line[3] == '-';
}

SmtpReplyParser::SmtpReplyParser(SmtpReplyLimits limits) : limits_(limits) {}

std::size_t SmtpReplyParser::Feed(std::string_view bytes) {
  std::size_t used = 0;
  while (used < bytes.size() && !done_) {
    if (bytes_ == limits_.max_bytes) {
      reply_.status = SmtpReplyStatus::TooLong;
      done_ = true;
      break;
    }
    char c = bytes[used++];
    ++bytes_;
    if (c == '\n') {
      EndLine();
    } else if (line_.size() <= limits_.line_chars) {
      // One character past the limit is kept so that a CR directly before the LF can still
      // be told from text; EndLine cuts the line to the limit.
      line_ += c;
    }
  }
  return used;
}

void SmtpReplyParser::EndLine() {
  if (!line_.empty() && line_.back() == '\r') line_.pop_back();
  if (line_.size() > limits_.line_chars) line_.resize(limits_.line_chars);
  MakePrintable(line_);
  bool more = ReplyLineContinues(line_);
  reply_.code = ReplyLineCode(line_);
  reply_.lines.push_back(std::move(line_));
  line_.clear();
  if (!more) {
    reply_.status = SmtpReplyStatus::Complete;
    done_ = true;
  } else if (reply_.lines.size() >= limits_.max_lines) {
    reply_.status = SmtpReplyStatus::TooLong;
    done_ = true;
  }
}

void SmtpReplyParser::Continue() {
  if (!done_ || reply_.status != SmtpReplyStatus::Complete) return;
  if (reply_.lines.size() >= limits_.max_lines) {
    reply_.status = SmtpReplyStatus::TooLong;
    return;
  }
  done_ = false;
}

SmtpReply SmtpReplyParser::Finish(SmtpReplyStatus unfinished) {
  if (!done_ && !line_.empty()) {
    // A last line cut off by the close still tells the log what the peer said.
    if (line_.size() > limits_.line_chars) line_.resize(limits_.line_chars);
    MakePrintable(line_);
    reply_.lines.push_back(std::move(line_));
  }
  SmtpReply out = std::move(reply_);
  if (!done_) out.status = unfinished;
  if (!out.Complete()) out.code = 0;
  reply_ = SmtpReply{};
  line_.clear();
  bytes_ = 0;
  done_ = false;
  return out;
}

SmtpReply ParseSmtpReply(std::string_view text, SmtpReplyLimits limits) {
  SmtpReplyParser parser(limits);
  parser.Feed(text);
  return parser.Finish();
}

}  // namespace tarnhold
