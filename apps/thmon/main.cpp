// thmon: the queue monitor. With --check-once it runs one check and ends, without loading any
// window library; otherwise it becomes its window program, thmon-window, beside it.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "desktop/program_launcher.h"
#include "monitor/monitor_command.h"

int main(int argc, char** argv) {
  using namespace tarnhold::monitor;
  std::vector<std::string> args(argv + 1, argv + argc);
  MonitorOptions options;
  std::string error;
  if (!ParseMonitorCommandLine(args, options, error)) {
    std::cerr << "thmon: " << error << '\n';
    WriteMonitorUsage(std::cerr);
    return kMonitorUsage;
  }
  if (options.check_once) return RunCheckOnce(options, std::cout);

  const std::string window = (tarnhold::OwnProgramFolder() / "thmon-window").string();
  std::vector<char*> window_args;
  window_args.push_back(const_cast<char*>(window.c_str()));
  for (int i = 1; i < argc; ++i) window_args.push_back(argv[i]);
  window_args.push_back(nullptr);
  ::execv(window.c_str(), window_args.data());
  std::cerr << "thmon: cannot start " << window << '\n';
  return kMonitorUsage;
}
