// thqueue's command line, for servers without a display: the same folders, listing, preview
// and actions as the window, with no Qt anywhere on the way. Items are named
// "<folder>/<number>" with the folder relative to the data root ("quaran/virus/3"), or as
// the window's folder list names them followed by a blank and the number
// ("Quarantine\virus 3"). Each action prints one line per item, done or refused.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tarnhold::queues {

enum class QueueCommand { Window, List, Show, Allow, AllowTrust, Delete, Move, Help };

struct QueueOptions {
  QueueCommand command = QueueCommand::Window;
  std::string root;                // --root DIR
  std::string folder;              // --list FOLDER, --to FOLDER
  bool json = false;               // --json
  bool sorted = false;             // --sort: rows by their Date text, as the window keeps them
  std::vector<std::string> items;  // the ITEMs of --show, --allow ... (in order)
};

// Parses the arguments after the program name. False, with one line in `error`, for an unknown
// option, a missing value, two commands, or a command without what it needs.
[[nodiscard]] bool ParseQueueCommandLine(const std::vector<std::string>& args,
                                         QueueOptions& options, std::string& error);

void WriteQueueUsage(std::ostream& out);

// Exit codes: 0 everything done; 1 some item refused (or the folder or item unknown);
// 2 a bad command line.
inline constexpr int kQueueDone = 0;
inline constexpr int kQueueRefused = 1;
inline constexpr int kQueueUsage = 2;

// Runs a command other than Window; rows and item lines go to `out`, refusals of the command
// as a whole to `err`.
[[nodiscard]] int RunQueueCommand(const QueueOptions& options, std::ostream& out,
                                  std::ostream& err);

}  // namespace tarnhold::queues
