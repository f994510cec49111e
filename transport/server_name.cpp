#include "transport/server_name.h"

#include <unistd.h>

#include <climits>

namespace tarnhold {

std::string SmtpServerName(const std::vector<std::string>& local_domains) {
  if (!local_domains.empty() && !local_domains.front().empty()) return local_domains.front();
  char host[HOST_NAME_MAX + 1] = {};
  if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') return host;
  return "localhost";
}

}  // namespace tarnhold
