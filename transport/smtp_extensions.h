// The receiver's extended SMTP: what a session is allowed (message size, relaying), the EHLO
// reply with its extension list, and the parameters that follow the path of MAIL and RCPT.
// The extension list has one home, SmtpExtensions: whatever a session offers is added there.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "transport/relay_guard.h"

namespace tarnhold {

class CGatewayConfig;

inline constexpr std::int64_t kDefaultMaxMessageKb = 51200;

// What the sessions of one configuration may do; shared read-only by every session.
struct ReceiverPolicy {
  // Largest message accepted, in bytes; 0: no limit.
  std::int64_t max_message_bytes = kDefaultMaxMessageKb * 1024;
  RelayPolicy relay;
};

// The policy of a configuration (SMTPMaxMessageSize, AllowRelay, RelayNetworksFileName, the
// local domains); problems with the relay networks file go to `log`.
[[nodiscard]] ReceiverPolicy ReceiverPolicyFrom(const CGatewayConfig& config,
                                                const std::function<void(const std::string&)>& log);

// Whether a session announces STARTTLS: a certificate pair is loaded and the session has not
// passed STARTTLS yet.
enum class TlsOffer { No, Yes };

// The extension keywords of the EHLO reply, in the order they are announced. Replies carry no
// enhanced status codes throughout, so ENHANCEDSTATUSCODES is not among them.
[[nodiscard]] std::vector<std::string> SmtpExtensions(const ReceiverPolicy& policy,
                                                      TlsOffer tls = TlsOffer::No);

// ehlo-ok-rsp = "250-" Domain CRLF *( "250-" ehlo-line CRLF ) "250 " ehlo-line CRLF
[[nodiscard]] std::string EhloReply(std::string_view server_name,
                                    const std::vector<std::string>& extensions);

// A MAIL or RCPT line cut after the ">" that closes its path: `path` is the command and the
// path, `parameters` what follows. A line without "<...>" is all path.
struct PathAndParameters {
  std::string_view path;
  std::string_view parameters;
};
[[nodiscard]] PathAndParameters SplitPathAndParameters(std::string_view line);

// Whether the path is the null path "<>".
[[nodiscard]] bool IsNullPath(std::string_view path);

enum class ParameterResult { Accepted, Unknown, BadValue };

struct MailParameters {
  std::int64_t size = -1;  // SIZE=; -1 when not given (a value past the range reads as max)
  bool eight_bit = false;  // BODY=8BITMIME
};

// esmtp-param *(SP esmtp-param), esmtp-param = esmtp-keyword ["=" esmtp-value].
// MAIL knows SIZE and BODY (7BIT, 8BITMIME); RCPT knows none. Unknown: a keyword not known
// (555). BadValue: a known keyword with a value it cannot take (501).
[[nodiscard]] ParameterResult ParseMailParameters(std::string_view parameters,
                                                  MailParameters& out);
[[nodiscard]] ParameterResult ParseRcptParameters(std::string_view parameters);

}  // namespace tarnhold
