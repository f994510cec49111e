#include "transport/ras_dialer.h"

#include <cstdlib>
#include <fstream>

#include "platform/child_process.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

using Clock = std::chrono::steady_clock;

// Interface flags of /sys/class/net/<if>/flags.
constexpr unsigned long kIfUp = 0x1;
constexpr unsigned long kIfRunning = 0x40;

void FromVariable(const char* name, std::string& command) {
  const char* value = std::getenv(name);
  if (value != nullptr && *value != '\0') command = value;
}

bool RunsOk(const std::string& command, const std::string& entry,
            std::chrono::milliseconds limit) {
  CommandResult r = RunCommand({command, entry}, limit);
  return r.outcome == CommandOutcome::Exited && r.exit_code == 0;
}

// An entry name is one file of the peers folder: never a path.
bool SafeEntry(const std::string& entry) {
  return !entry.empty() && entry.find('/') == std::string::npos && entry != "." && entry != "..";
}

}  // namespace

DialCommands DialCommands::FromEnvironment() {
  DialCommands c;
  FromVariable("TARNHOLD_DIAL_COMMAND", c.dial);
  FromVariable("TARNHOLD_HANGUP_COMMAND", c.hang_up);
  FromVariable("TARNHOLD_LINK_STATUS_COMMAND", c.link_status);
  return c;
}

bool CRasDialer::LinkUp(const std::string& entry) const {
  if (!commands_.link_status.empty())
    return RunsOk(commands_.link_status, entry, commands_.command_limit);
  if (!SafeEntry(entry)) return false;
  // pppd's pid file for a named link: the pid, then the interface it brought up.
  std::ifstream pid_file(commands_.run_folder / ("ppp-" + entry + ".pid"));
  std::string pid;
  std::string interface;
  if (!std::getline(pid_file, pid) || !std::getline(pid_file, interface)) return false;
  if (interface.empty() || interface.find('/') != std::string::npos || interface[0] == '.')
    return false;
  std::ifstream flags_file(commands_.net_folder / interface / "flags");
  std::string flags_text;
  if (!std::getline(flags_file, flags_text)) return false;
  unsigned long flags = std::strtoul(flags_text.c_str(), nullptr, 16);
  return (flags & kIfUp) != 0 && (flags & kIfRunning) != 0;
}

DialResult CRasDialer::Dial(const std::string& entry, const std::string&, const std::string&) {
  held_entry_.clear();
  if (!SafeEntry(entry) || !RunsOk(commands_.dial, entry, commands_.command_limit))
    return DialResult::CommandFailed;
  // The dial command returns once the dialler is under way; the link comes up later.
  const auto deadline = Clock::now() + commands_.link_wait;
  while (!LinkUp(entry)) {
    if (cancelled_ || Clock::now() >= deadline) return DialResult::NoLink;
    (void)cancel_.WaitFor(commands_.link_poll);
  }
  held_entry_ = entry;
  return DialResult::Connected;
}

bool CRasDialer::Status() { return Holding() && LinkUp(held_entry_); }

bool CRasDialer::HangUp(const std::string& entry) {
  std::string target = Holding() ? held_entry_ : entry;
  held_entry_.clear();
  if (!SafeEntry(target)) return false;
  return RunsOk(commands_.hang_up, target, commands_.command_limit);
}

}  // namespace tarnhold
