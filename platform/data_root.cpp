#include "platform/data_root.h"

#include <cstdlib>

#include "platform/profile_file.h"

namespace fs = std::filesystem;

namespace tarnhold {

fs::path ResolveDataRoot(std::string_view from_command_line) {
  std::string root(from_command_line);
  if (root.empty()) {
    const char* env = std::getenv(kDataRootVariable);
    root = env && *env ? env : kDefaultDataRoot;
  }
  std::error_code ec;
  fs::path absolute = fs::absolute(root, ec);
  return (ec ? fs::path(root) : absolute).lexically_normal();
}

fs::path MapConfigPath(const fs::path& root, std::string_view value) {
  constexpr std::string_view kPrefix = "c:\\tarnhold\\";
  if (value.size() >= kPrefix.size()) {
    std::string head(value.substr(0, kPrefix.size()));
    for (char& c : head) if (c == '/') c = '\\';
    if (EqualsNoCase(head, kPrefix)) {
      std::string rest(value.substr(kPrefix.size()));
      for (char& c : rest) if (c == '\\') c = '/';
      return root / rest;
    }
  }
  return fs::path(std::string(value));
}

std::string_view LastPathElement(std::string_view name) {
  std::size_t cut = name.find_last_of("/\\");
  return cut == std::string_view::npos ? name : name.substr(cut + 1);
}

}  // namespace tarnhold
