// thgate's command line: thgate [--root DIR] [--headless] [--pop3-port N].
#pragma once

#include <string>
#include <vector>

namespace tarnhold {

struct GateOptions {
  std::string root;        // --root DIR; empty: $TARNHOLD_ROOT or the default root
  bool headless = false;   // --headless: no window even when a display is there
  unsigned pop3_port = 110;  // --pop3-port N
};

// Parses the arguments after the program name. False, with one line in `error`, for an unknown
// option, a missing value or a port that is not a number from 1 to 65535.
[[nodiscard]] bool ParseGateOptions(const std::vector<std::string>& args, GateOptions& options,
                                    std::string& error);

inline constexpr const char* kGateUsage =
    "usage: thgate [--root DIR] [--headless] [--pop3-port N]";

}  // namespace tarnhold
