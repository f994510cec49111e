// thgate: the gateway engine. Parses the command line, makes sure it is the only engine on its
// data root, runs the engine, and turns signals into the engine's commands: SIGHUP reloads the
// configuration, SIGTERM and SIGINT run the exit routine. Signals are taken by sigwait on the
// main thread only; every other thread has them blocked.
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "apps/thgate/command_line.h"
#include "engine/engine.h"
#include "apps/thgate/item_report_command.h"
#include "engine/single_instance.h"
#include "apps/thgate/test_rules_command.h"
#include "platform/data_root.h"

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

}  // namespace

int main(int argc, char** argv) {
  using namespace tarnhold;
  if (argc > 1 && std::string(argv[1]) == "--inspect") {
    return RunInspect(std::vector<std::string>(argv + 2, argv + argc));
  }
  if (argc > 1 && std::string(argv[1]) == "--test-rules") {
    return RunTestRules(std::vector<std::string>(argv + 2, argv + argc), std::cout, std::cerr);
  }
  GateOptions options;
  std::string error;
  if (!ParseGateOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    std::fprintf(stderr, "thgate: %s\n%s\n", error.c_str(), kGateUsage);
    return 2;
  }
  const std::filesystem::path root = ResolveDataRoot(options.root);

  SingleInstance instance;
  switch (instance.Acquire(root, error)) {
    case InstanceResult::Acquired: break;
    case InstanceResult::AlreadyRunning: return kExitCode;  // silently, as the window search did
    case InstanceResult::Failed:
      std::fprintf(stderr, "thgate: %s\n", error.c_str());
      return kExitCode;
  }

  // Before any thread exists, so that every thread inherits the mask.
  sigset_t signals = EngineSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  RaiseFileLimit();

  // No window yet: the engine always runs as it does headless.
  Engine::Options engine_options;
  engine_options.root = root;
  engine_options.headless = true;
  engine_options.pop3_port = options.pop3_port;
  auto* engine = new Engine(engine_options);  // lives until the process ends
  if (engine->Start() != StartResult::Started) {
    std::fflush(nullptr);
    std::_Exit(kExitCode);  // no engine thread runs yet; nothing else needs ending
  }

  for (;;) {
    int signal_number = 0;
    if (sigwait(&signals, &signal_number) != 0) continue;
    if (signal_number == SIGHUP) {
      engine->ReloadConfiguration();
      continue;
    }
    int code = engine->Exit();
    std::fflush(nullptr);
    // The other engine threads end with the process, as the exit routine intends.
    std::_Exit(code);
  }
}
