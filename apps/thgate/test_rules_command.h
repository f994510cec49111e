// thgate --test-rules [--raw] FILE [--from A] [--to B] [--ip X] [--root DIR]: walks the
// rules in force over one message as the sweeper would and prints the sweeper's lines (with
// their "> " prefix, without time stamps), then one line
//   decision: rule=<n or -1> action=<code> destination=<que|offpeak|quaran/<area>|deleted|...>
// Nothing is sent, moved, archived or deleted: the message is read from a private copy, and
// every effect is reported as done without being done.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "apps/thgate/command_line.h"

namespace tarnhold {

// The command line's --test-rules. Exit code 0, or 2 with one line on `err`.
[[nodiscard]] int RunTestRules(const GateOptions& options, std::ostream& out, std::ostream& err);

}  // namespace tarnhold
