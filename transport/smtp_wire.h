// SMTP on a connected socket, for every client in the system: one command line out, one
// bounded reply in. A reply has a deadline of its own, so a server that trickles bytes or
// never finishes a multi-line reply costs at most that time; a command argument can never
// smuggle a second command. The dialogue around these calls is the caller's.
#pragma once

#include <chrono>
#include <functional>
#include <string_view>

#include "transport/smtp_reply.h"

namespace tarnhold {

class TlsStream;

// Whether lines that already wait on the socket after a reply's last line belong to it.
// Absorb suits a client that never sends a command before the previous reply: lines that a
// server sent too many would otherwise be read as the reply to the next command.
enum class WaitingLines { Leave, Absorb };

struct SmtpReadOptions {
  SmtpReplyLimits limits;
  std::chrono::milliseconds timeout{20000};  // for the whole reply, not per line
  WaitingLines waiting = WaitingLines::Leave;
  std::function<bool()> aborted;  // asked before every wait; true ends the read as TimedOut
  TlsStream* tls = nullptr;       // the connection's TLS session once STARTTLS has passed
};

// Reads one reply from `fd`. Never returns later than about the time-out after the call.
[[nodiscard]] SmtpReply ReadSmtpReply(int fd, const SmtpReadOptions& options);

// Reads the reply of a client that sends nothing before the previous reply has ended, so
// lines already waiting after a reply's last line can only be more of it (Absorb).
[[nodiscard]] SmtpReply ReadLockstepReply(int fd, std::chrono::milliseconds timeout,
                                          std::function<bool()> aborted);

enum class CommandResult {
  Sent,
  Refused,  // the line holds a CR, LF or NUL: nothing was sent
  Failed,   // the socket took fewer bytes than the line (peer gone, send time-out)
};

// Sends `line` followed by CR LF (through `tls` when given).
[[nodiscard]] CommandResult SendSmtpCommand(int fd, std::string_view line,
                                            TlsStream* tls = nullptr);

// Whether `text` may stand inside a command line or a header line: no CR, LF or NUL.
[[nodiscard]] bool IsSingleLine(std::string_view text);

}  // namespace tarnhold
