// The address and IP list files that rules point to (lookup, exception and IP lists,
// aliases.dat, spamfree.dat), wildcard matching against their entries, and the local-domain
// test. Shared by the sweeper, the delivery and the queue manager. Lists are read afresh on
// every call, so an edit counts for the next message; an unreadable list matches nothing.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tarnhold::lists {

// A list larger than this is read up to its last whole line within the bound.
inline constexpr std::size_t kMaxRuleListBytes = 16u << 20;

// The entries of list text: carriage returns are dropped and the text is cut at line feeds;
// only lines that a line feed ends count (a last line without one is ignored); a line whose
// first character is ";" is a comment; every other line, an empty one included, is an entry
// exactly as written.
[[nodiscard]] std::vector<std::string> ParseRuleList(std::string_view text);

// Replaces `entries` with the entries of the list file `path`. 1 read, 0 the file cannot be
// read (`entries` is then empty).
[[nodiscard]] int ReadListFile(const std::filesystem::path& path,
                               std::vector<std::string>& entries);

// Whether `address` fits `entry`, both compared in lower case. An entry without "*" must equal
// the address. An entry with "*" is cut into segments at each "*"; each segment is looked for
// from where the previous one ended, and the last one after that. Matching is anchored at
// neither end: "*@example.com" also fits "a@example.com.other", "192.168.*" fits
// "10.192.168.1".
[[nodiscard]] bool MatchWildcard(std::string_view address, std::string_view entry);

// 1 when some entry of the list file fits `address`, else 0 (also when the file cannot be
// read).
[[nodiscard]] int MatchListFile(std::string_view address, const std::filesystem::path& path);

// 1 when `domain` equals an entry of `local_domains` without regard to case, else 0.
[[nodiscard]] int IsLocalDomain(const std::vector<std::string>& local_domains,
                                std::string_view domain);

}  // namespace tarnhold::lists
