#include "transport/smtp_wire.h"

#include <string>
#include <utility>

#include "transport/socket_io.h"

namespace tarnhold {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes asked of the line reader at a time; a longer line arrives in several pieces, which
// the parser joins (and cuts) as one line.
constexpr std::size_t kPieceBytes = 1024;

// Whole seconds for one wait of the line reader, rounded up so that a short remainder still
// waits; the abort check before each wait holds the deadline itself.
long WaitSeconds(Clock::duration left) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
  return ms <= 0 ? 1 : static_cast<long>((ms + 999) / 1000);
}

}  // namespace

SmtpReply ReadSmtpReply(int fd, const SmtpReadOptions& options) {
  SmtpReplyParser parser(options.limits);
  const Clock::time_point deadline = Clock::now() + options.timeout;
  auto stop = [&] { return Clock::now() >= deadline || (options.aborted && options.aborted()); };
  bool after_cr = false;
  std::string piece;
  while (!parser.Done()) {
    if (stop()) return parser.Finish(SmtpReplyStatus::TimedOut);
    LineRead read = ReceiveLineFrom(fd, piece, kPieceBytes, WaitSeconds(deadline - Clock::now()),
                                    LineEnd::Lf, after_cr, stop, options.tls);
    parser.Feed(piece);
    bool full_piece = static_cast<std::size_t>(read.bytes) == kPieceBytes - 1;
    if (!read.complete && !full_piece) {
      // The reader stopped short of a line end: the peer closed, the socket failed, or the
      // time ran out.
      if (parser.Done()) break;
      return parser.Finish(stop() ? SmtpReplyStatus::TimedOut : SmtpReplyStatus::Closed);
    }
    if (parser.Done() && options.waiting == WaitingLines::Absorb &&
        BytesReady(fd, options.tls) > 0) {
      parser.Continue();
    }
  }
  return parser.Finish();
}

SmtpReply ReadLockstepReply(int fd, std::chrono::milliseconds timeout,
                            std::function<bool()> aborted) {
  SmtpReadOptions options;
  options.timeout = timeout;
  options.waiting = WaitingLines::Absorb;
  options.aborted = std::move(aborted);
  return ReadSmtpReply(fd, options);
}

bool IsSingleLine(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

CommandResult SendSmtpCommand(int fd, std::string_view line, TlsStream* tls) {
  if (!IsSingleLine(line)) return CommandResult::Refused;
  std::string out;
  out.reserve(line.size() + 2);
  out.append(line).append("\r\n");
  return SendAll(fd, out.data(), out.size(), tls) == static_cast<long>(out.size())
             ? CommandResult::Sent
             : CommandResult::Failed;
}

}  // namespace tarnhold
