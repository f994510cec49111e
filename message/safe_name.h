// Names that arrive in mail never decide where a file lands: attachment names and archive
// member paths are reduced to safe names inside their folder.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tarnhold {

// Given to a name that has nothing safe left.
inline constexpr const char* kGeneratedFileName = "th_unnamed_file";
// Longest name element written; longer ones are cut, keeping a short extension.
inline constexpr std::size_t kMaxNameElement = 200;

// The last path element of `name` ("/" and "\" both separate), without control characters
// and leading dots, trailing dots and blanks, cut to kMaxNameElement bytes (not inside a
// UTF-8 character); kGeneratedFileName when nothing is left.
[[nodiscard]] std::string SafeFileName(std::string_view name);

// The relative path an archive member is extracted to: each element made safe as above,
// empty and "." elements dropped. nullopt for a path that would leave its folder (absolute,
// a drive letter, or a ".." element). An empty path means the member names nothing.
[[nodiscard]] std::optional<std::filesystem::path> SafeMemberPath(std::string_view stored);

// `path` with "_<n>" put before its extension: "a.txt" -> "a_2.txt".
[[nodiscard]] std::filesystem::path NumberedName(const std::filesystem::path& path, int n);

}  // namespace tarnhold
