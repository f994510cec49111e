// The dial-up line: dial, status and hang-up of a dial-up entry (a file of /etc/ppp/peers).
// Dialling runs `pon <entry>` and waits for the entry's link; hang-up runs `poff <entry>`; the
// status is the entry's link interface being up. Each command can be replaced (settings or the
// TARNHOLD_DIAL_COMMAND, TARNHOLD_HANGUP_COMMAND and TARNHOLD_LINK_STATUS_COMMAND variables)
// by a program run with the entry as its one argument; a replaced status exits 0 for "up".
// Every command runs with a time limit; a caller's thread is never held longer than that.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>

#include "platform/wake_event.h"

namespace tarnhold {

struct DialCommands {
  std::string dial = "pon";
  std::string hang_up = "poff";
  std::string link_status;  // empty: the entry's pppd pid file and its interface
  // Where pppd writes ppp-<entry>.pid, naming the link's interface on its second line.
  std::filesystem::path run_folder = "/run";
  std::filesystem::path net_folder = "/sys/class/net";
  std::chrono::milliseconds command_limit{30000};
  std::chrono::milliseconds link_wait{60000};  // from the dial command's end to the link up
  std::chrono::milliseconds link_poll{500};

  // The defaults, with any command named by the environment put in its place.
  [[nodiscard]] static DialCommands FromEnvironment();
};

enum class DialResult { Connected, CommandFailed, NoLink };

class CRasDialer {
 public:
  explicit CRasDialer(DialCommands commands = DialCommands::FromEnvironment())
      : commands_(std::move(commands)) {}

  // Forgets any held connection and dials `entry`. Connected: the link is up and held.
  // CommandFailed: the dial command could not run or failed. NoLink: the link did not come up
  // within the wait. The user name and password belong to the entry's own files on this
  // platform; they are accepted and not passed on.
  [[nodiscard]] DialResult Dial(const std::string& entry, const std::string& user,
                                const std::string& password);
  // True when the held connection's link is up; false with none held or when it is down.
  [[nodiscard]] bool Status();
  // Hangs up the held connection, or without one the entry named. True when the hang-up
  // command succeeded. The held connection is forgotten either way.
  bool HangUp(const std::string& entry);

  [[nodiscard]] bool Holding() const { return !held_entry_.empty(); }
  // Ends a dial's wait for its link at once (it reports NoLink); for the engine's stop.
  void CancelWait() {
    cancelled_ = true;
    cancel_.Notify();
  }

 private:
  [[nodiscard]] bool LinkUp(const std::string& entry) const;

  DialCommands commands_;
  std::string held_entry_;  // the entry this dialer dialled; empty: none
  std::atomic<bool> cancelled_{false};
  WakeEvent cancel_;
};

}  // namespace tarnhold
