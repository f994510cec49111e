// The data root that all four programs share, and the mapping of configuration values written
// for the original platform ("c:\tarnhold\...") onto it.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tarnhold {

inline constexpr const char* kDefaultDataRoot = "/var/lib/tarnhold";
inline constexpr const char* kDataRootVariable = "TARNHOLD_ROOT";

// The data root: `from_command_line` when not empty, else $TARNHOLD_ROOT when set and not
// empty, else /var/lib/tarnhold. Made absolute so that logs and errors name it fully.
[[nodiscard]] std::filesystem::path ResolveDataRoot(std::string_view from_command_line);

// A configuration value that names a file: a value beginning with "c:\tarnhold\" (any case,
// either slash) becomes <root>/ plus the rest with backslashes turned into "/"; any other
// value is used as it stands. An empty value stays empty.
[[nodiscard]] std::filesystem::path MapConfigPath(const std::filesystem::path& root,
                                                  std::string_view value);

// The last path element of `name` for a name that arrives inside mail: both "/" and "\"
// separate elements, so the result can never name a parent folder.
[[nodiscard]] std::string_view LastPathElement(std::string_view name);

}  // namespace tarnhold
