#include "apps/thgate/command_line.h"

#include <charconv>

namespace tarnhold {
namespace {

bool ParsePort(const std::string& text, unsigned& port) {
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 1 || value > 65535) {
    return false;
  }
  port = value;
  return true;
}

}  // namespace

bool ParseGateOptions(const std::vector<std::string>& args, GateOptions& options,
                      std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool has_value = i + 1 < args.size();
    if (a == "--headless") {
      options.headless = true;
    } else if (a == "--root" && has_value) {
      options.root = args[++i];
    } else if (a == "--pop3-port" && has_value) {
      if (!ParsePort(args[++i], options.pop3_port)) {
        error = "--pop3-port needs a port number from 1 to 65535, not \"" + args[i] + "\"";
        return false;
      }
    } else {
      error = (a == "--root" || a == "--pop3-port") ? a + " needs a value"
                                                      : "unknown argument \"" + a + "\"";
      return false;
    }
  }
  return true;
}

}  // namespace tarnhold
