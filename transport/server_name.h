// The name the gateway gives itself in SMTP: in the receiver's greeting and HELO reply and in
// the delivery's HELO. Never empty.
#pragma once

#include <string>
#include <vector>

namespace tarnhold {

// The first local domain (held in lower case by the configuration); without one, this host's
// name; without that, "localhost".
[[nodiscard]] std::string SmtpServerName(const std::vector<std::string>& local_domains);

}  // namespace tarnhold
