// Feeds arbitrary bytes to the POP3 client's reply and message-line parsing. Each line is read
// as a STAT and a LIST reply: a number given back must be within its bound. The whole input
// is also read as message data, cut into pieces the way the line reader cuts it (at each LF,
// and at a piece size taken from the input): the result must not depend on the piece size,
// never be longer than the input, and end exactly at the first "." CR LF line.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "transport/pop3_reply.h"

using namespace tarnhold;

namespace {

struct Unstuffed {
  std::string text;
  bool ended = false;
};

// The message data as the client would save it with pieces of at most `piece` bytes.
Unstuffed Run(std::string_view in, std::size_t piece) {
  Unstuffed out;
  bool at_line_start = true;
  while (!in.empty()) {
    std::size_t lf = in.find('\n');
    std::size_t len = lf == std::string_view::npos ? in.size() : lf + 1;
    if (len > piece) len = piece;
    std::string_view p = in.substr(0, len);
    in.remove_prefix(len);
    Pop3DataPiece d = UnstuffPop3Data(p, at_line_start);
    if (d.end) {
      if (!at_line_start || p != ".\r\n") std::abort();
      out.ended = true;
      return out;
    }
    if (d.text.size() > p.size()) std::abort();
    out.text.append(d.text);
    at_line_start = !p.empty() && p.back() == '\n';
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string_view rest = text;
  while (!rest.empty()) {
    std::size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
    (void)IsPositivePop3Reply(line);
    std::optional<std::uint32_t> count = Pop3StatCount(line);
    if (count && *count > kPop3MaxMessageNumber) std::abort();
    std::optional<std::uint64_t> octets = Pop3ListSize(line);
    if (octets && *octets > std::uint64_t(INT64_MAX)) std::abort();
  }

  // Pieces of fewer than four bytes would split the three-byte end line itself; the client's
  // pieces are thousands of bytes long.
  std::size_t piece = size > 0 ? 4 + data[0] % 60 : 4;
  Unstuffed small = Run(text, piece);
  Unstuffed whole = Run(text, size + 1);
  if (small.text != whole.text || small.ended != whole.ended) std::abort();
  if (whole.text.size() > size) std::abort();
  return 0;
}
