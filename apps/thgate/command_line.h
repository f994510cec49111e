// thgate's command line: one parser, driven by one table of options and commands, that takes
// them in any order. The engine runs unless a command is given; a command (--inspect,
// --test-rules, --check-config) does its work and ends. The parser only reads the words: checking that
// paths exist and files can be read is left to the command that uses them.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tarnhold {

inline constexpr const char* kGateVersion = "thgate 1.0";

enum class GateCommand { RunEngine, Inspect, TestRules, Help, Version, CheckConfig };

struct GateOptions {
  GateCommand command = GateCommand::RunEngine;
  std::string root;          // --root DIR; empty: $TARNHOLD_ROOT or the default root
  bool headless = false;     // --headless: no window even when a display is there
  unsigned pop3_port = 110;  // --pop3-port N
  bool raw = false;          // --raw: FILE is a plain message, not a queue item
  std::string file;          // the FILE of --inspect and --test-rules
  std::optional<std::string> from, to, ip;  // the dry run's envelope and client address
};

enum class ParseResult { Ok, Invalid };

// Parses the arguments after the program name. Invalid, with one line in `error`, for an
// unknown option, a missing or bad value, a second command or file, an option that does not
// go with the command given, or a command without its file.
[[nodiscard]] ParseResult ParseGateCommandLine(const std::vector<std::string>& args,
                                               GateOptions& options, std::string& error);

// The usage lines for an error: those of the command named anywhere in `args` when there is
// one (the line was meant for it), else every form of the command line.
[[nodiscard]] std::string GateUsage(const std::vector<std::string>& args);

// --help: every form of the command line, then every option and command with what it does.
void WriteGateHelp(std::ostream& out);

}  // namespace tarnhold
