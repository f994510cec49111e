// thgate: the gateway engine. Parses the command line, resolves the data root and runs the
// engine; everything it starts lives in the engine's components.
#include <cstdio>
#include <string>

#include "gateway/gateway_config.h"
#include "platform/data_root.h"

int main(int argc, char** argv) {
  std::string root_arg;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--root" && i + 1 < argc) root_arg = argv[++i];
  }
  auto root = tarnhold::ResolveDataRoot(root_arg);
  std::printf("thgate: data root %s\n", root.c_str());
  // Loading the configuration also creates the data folders.
  tarnhold::CGatewayConfig config(root);
  tarnhold::ConfigLoadReport report = config.Load();
  for (const std::string& problem : report.problems)
    std::fprintf(stderr, "thgate: %s\n", problem.c_str());
  return 0;
}
