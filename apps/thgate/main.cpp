// thgate: the gateway engine. Parses the command line and runs the command it names, or makes
// sure it is the only engine on its data root, runs the engine, and turns signals into the
// engine's commands: SIGHUP reloads the configuration, SIGTERM and SIGINT run the exit routine.
// With a display (and without --headless) the window plugin runs the engine on the main thread
// and the signals go to the window; headless, they are taken on the main thread. Signals are
// taken by sigwait on one thread only; every other thread has them blocked.
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "apps/thgate/check_config_command.h"
#include "apps/thgate/command_line.h"
#include "apps/thgate/item_report_command.h"
#include "apps/thgate/test_rules_command.h"
#include "apps/thgate/window_loader.h"
#include "engine/engine.h"
#include "engine/engine_window_host.h"
#include "engine/single_instance.h"
#include "platform/data_root.h"
#include "platform/journal_line.h"

namespace {

// Each SMTP session may hold an open file per recipient: take all the descriptors allowed.
void RaiseFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

sigset_t EngineSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

// Waits for the engine's signals: SIGHUP reloads the configuration; SIGTERM and SIGINT end the
// wait, so that the caller runs the exit routine.
void ServeSignals(tarnhold::Engine& engine, const sigset_t& signals) {
  for (;;) {
    int signal_number = 0;
    if (sigwait(&signals, &signal_number) != 0) continue;
    if (signal_number != SIGHUP) return;
    (void)engine.ReloadConfiguration();  // the engine logs what became of it
  }
}

// Runs the engine under its window until the exit routine. A signal thread hands SIGHUP and
// SIGTERM/SIGINT to the window, which runs them on its own thread.
int RunWithWindow(tarnhold::Engine& engine, tarnhold::RunWindowEntry run_window,
                  const sigset_t& signals, int argc, char** argv) {
  using namespace tarnhold;
  EngineWindowHost host(engine);
  std::atomic<bool> done{false};
  std::jthread signal_thread([&] {
    for (;;) {
      int signal_number = 0;
      if (sigwait(&signals, &signal_number) != 0) continue;
      if (done.load()) return;
      host.Request(signal_number == SIGHUP ? EngineCommand::Reload : EngineCommand::Exit);
    }
  });
  const int code = run_window(&host, argc, argv);
  done.store(true);
  pthread_kill(signal_thread.native_handle(), SIGHUP);  // ends the wait; the thread returns
  return code;
}

// The window's entry point when one is wanted and can be loaded; nullptr: run headless.
tarnhold::RunWindowEntry WantedWindow(const tarnhold::GateOptions& options) {
  using namespace tarnhold;
  if (options.headless || !DisplayAvailable()) return nullptr;
  std::string error;
  RunWindowEntry entry = LoadWindowPlugin(error);
  if (entry == nullptr) {
    std::fprintf(stderr, "thgate: cannot load the window (%s); running headless\n", error.c_str());
  }
  return entry;
}

int RunEngine(const tarnhold::GateOptions& options, int argc, char** argv) {
  using namespace tarnhold;
  const std::filesystem::path root = ResolveDataRoot(options.root);
  SingleInstance instance;
  std::string error;
  switch (instance.Acquire(root, error)) {
    case InstanceResult::Acquired: break;
    case InstanceResult::AlreadyRunning: return kExitCode;  // silently, as the window search did
    case InstanceResult::Failed:
      std::fprintf(stderr, "%s\n", JournalErrorLine("thgate: " + error).c_str());
      return kExitCode;
  }

  // Before any thread exists, so that every thread inherits the mask.
  sigset_t signals = EngineSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  RaiseFileLimit();

  const RunWindowEntry run_window = WantedWindow(options);
  Engine::Options engine_options;
  engine_options.root = root;
  engine_options.headless = run_window == nullptr;
  engine_options.pop3_port = options.pop3_port;
  Engine engine(engine_options);
  if (run_window != nullptr) return RunWithWindow(engine, run_window, signals, argc, argv);
  // A refused start has started no engine thread; its reason is in load.log and on stderr.
  if (engine.Start() != StartResult::Started) return kExitCode;
  ServeSignals(engine, signals);
  // The exit routine stops every component; the engine's destructor then finds no thread
  // left to wait for, and the process ends through main with the logs flushed and closed.
  return engine.Exit();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tarnhold;
  const std::vector<std::string> args(argv + 1, argv + argc);
  GateOptions options;
  std::string error;
  if (ParseGateCommandLine(args, options, error) != ParseResult::Ok) {
    std::fprintf(stderr, "thgate: %s\n%s\n", error.c_str(), GateUsage(args).c_str());
    return 2;
  }
  switch (options.command) {
    case GateCommand::Help:
      WriteGateHelp(std::cout);
      return 0;
    case GateCommand::Version:
      std::cout << kGateVersion << "\n";
      return 0;
    case GateCommand::Inspect:
      return RunInspect(options);
    case GateCommand::TestRules:
      return RunTestRules(options, std::cout, std::cerr);
    case GateCommand::CheckConfig:
      return RunCheckConfig(options, std::cout);
    case GateCommand::RunEngine:
      break;
  }
  return RunEngine(options, argc, argv);
}
