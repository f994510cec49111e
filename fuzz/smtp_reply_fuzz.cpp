// Feeds arbitrary bytes to the SMTP reply parser (whole, and split at a point taken from the
// input) and to the dot-stuffing transform: the parser must give the same reply both ways
// and keep within its limits; the transform must never let a line that is a lone dot through,
// and removing the extra dots must give the file content back.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "transport/dot_stuffing.h"
#include "transport/smtp_reply.h"

using namespace tarnhold;

namespace {

void CheckReply(const SmtpReply& r, const SmtpReplyLimits& limits) {
  if (r.lines.size() > limits.max_lines + 1) std::abort();
  for (const std::string& line : r.lines) {
    if (line.size() > limits.line_chars) std::abort();
    for (char c : line) {
      if (c == '\r' || c == '\n' || c == '\0') std::abort();
    }
  }
  if (!r.Complete() && r.code != 0) std::abort();
}

// Takes out the dot that stuffing put at the start of every line (after LF).
std::string Unstuff(std::string_view in) {
  std::string out;
  bool line_start = true;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (line_start && in[i] == '.') {
      if (i + 1 >= in.size() || in[i + 1] != '.') std::abort();  // a dot left single
      ++i;
    }
    out += in[i];
    line_start = in[i] == '\n';
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  SmtpReplyLimits limits{.line_chars = 40, .max_lines = 8, .max_bytes = 600};

  SmtpReply whole = ParseSmtpReply(text, limits);
  CheckReply(whole, limits);
  std::size_t split = size > 0 ? data[0] % (size + 1) : 0;
  SmtpReplyParser parser(limits);
  std::size_t used = parser.Feed(text.substr(0, split));
  if (used == split && !parser.Done()) parser.Feed(text.substr(split));
  SmtpReply pieces = parser.Finish();
  if (pieces.status != whole.status || pieces.code != whole.code || pieces.lines != whole.lines) {
    std::abort();
  }

  for (DataForm form : {DataForm::Text, DataForm::File}) {
    DotStuffer stuffer(form);
    std::string out = "\r\n";
    stuffer.Transform(text.substr(0, split), out);
    stuffer.Transform(text.substr(split), out);
    if (out.find("\n.\r") != std::string::npos || out.find("\n.\n") != std::string::npos) {
      std::abort();
    }
    if (form == DataForm::File && Unstuff(std::string_view(out).substr(2)) != text) std::abort();
  }
  return 0;
}
