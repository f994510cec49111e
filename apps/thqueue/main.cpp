// thqueue: the queue manager. With a command (--list, --show, --allow ...) it works on the
// spool from the command line and ends, without loading any window library, so it runs on a
// server without a display; without one it becomes its window program, thqueue-window, beside
// it, with the same arguments.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "desktop/program_launcher.h"
#include "queues/queue_commands.h"

int main(int argc, char** argv) {
  using namespace tarnhold::queues;
  std::vector<std::string> args(argv + 1, argv + argc);
  QueueOptions options;
  std::string error;
  if (!ParseQueueCommandLine(args, options, error)) {
    std::cerr << "thqueue: " << error << '\n';
    WriteQueueUsage(std::cerr);
    return kQueueUsage;
  }
  if (options.command != QueueCommand::Window)
    return RunQueueCommand(options, std::cout, std::cerr);

  const std::string window = (tarnhold::OwnProgramFolder() / "thqueue-window").string();
  std::vector<char*> window_args;
  window_args.push_back(const_cast<char*>(window.c_str()));
  for (int i = 1; i < argc; ++i) window_args.push_back(argv[i]);
  window_args.push_back(nullptr);
  ::execv(window.c_str(), window_args.data());
  std::cerr << "thqueue: cannot start " << window << '\n';
  return kQueueUsage;
}
