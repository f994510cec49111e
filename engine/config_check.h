// The configuration check of `thgate --check-config`: reads tarnhold.dat, registry.dat and every
// file they name, creating and changing nothing, and lists what would make the gateway act
// otherwise than its administrator meant: files that cannot be read, rules that can never
// apply or trigger, missing scanners and quarantine areas, colliding ports, an open relay.
// It judges a configuration at rest; whether a port is free right now is left to the start.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tarnhold {

// One problem, tied to the place where it is written.
struct ConfigProblem {
  std::string file;     // "tarnhold.dat", "registry.dat"
  std::string section;  // without brackets; empty for the file as a whole
  std::string key;
  std::string value;  // as configured
  std::string text;   // what is wrong and what the gateway does with it
  bool operator==(const ConfigProblem&) const = default;
};

// The problem on one line: "tarnhold.dat [Rule2] QuarantineArea=virus: <text>", or
// "tarnhold.dat: <text>" for the file as a whole.
[[nodiscard]] std::string ProblemLine(const ConfigProblem& problem);

// Checks the configuration of the data root `root` for an engine whose POP3 server listens on
// `pop3_port`. The problems come in file order: [Defaults], rules, accounts, scanners, then
// the registry. Empty: nothing found.
[[nodiscard]] std::vector<ConfigProblem> CheckConfiguration(const std::filesystem::path& root,
                                                            unsigned pop3_port);

}  // namespace tarnhold
