#include "apps/thgate/check_config_command.h"

#include "engine/config_check.h"
#include "platform/data_root.h"

namespace tarnhold {

int RunCheckConfig(const GateOptions& options, std::ostream& out) {
  const std::filesystem::path root = ResolveDataRoot(options.root);
  const std::vector<ConfigProblem> problems = CheckConfiguration(root, options.pop3_port);
  for (const ConfigProblem& p : problems) out << ProblemLine(p) << "\n";
  if (problems.empty()) {
    out << "configuration of " << root.string() << ": no problem found\n";
    return 0;
  }
  out << problems.size() << (problems.size() == 1 ? " problem" : " problems") << " found\n";
  return 1;
}

}  // namespace tarnhold
