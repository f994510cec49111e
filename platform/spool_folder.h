// Numbered folders: listing of items named by decimal numbers, the two numbering rules, and
// moves and deletions that never overwrite and never take an item another party holds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnhold {

// The number an item name stands for: decimal digits only, no leading zero, at most 9 digits
// (a larger number is not an item name). Anything else is not an item.
[[nodiscard]] std::optional<std::uint32_t> ItemNumber(std::string_view name);

// Item numbers of the regular files in `folder`, ascending. Folders and other names are
// skipped; a missing folder lists nothing.
[[nodiscard]] std::vector<std::uint32_t> ListItemNumbers(const std::filesystem::path& folder);

// Largest item number present (0 when there is none): the base of the "next number" rule.
[[nodiscard]] std::uint32_t LargestItemNumber(const std::filesystem::path& folder);

// The smallest n from 1 up for which no entry <folder>/<n> exists (of any kind).
// A missing folder gives 1. Bounded by the number of entries, so it always ends.
[[nodiscard]] std::uint32_t FindFreeNumber(const std::filesystem::path& folder);
// The same search starting at max(start, 1) (a search hint kept by the caller).
[[nodiscard]] std::uint32_t FindFreeNumber(const std::filesystem::path& folder,
                                           std::uint32_t start);

// Counts the entries of `folder` that are not folders (the queue count of the monitors).
[[nodiscard]] std::size_t CountFiles(const std::filesystem::path& folder);

enum class MoveResult { Moved, TargetExists, Busy, Failed };

// Renames `from` to `to`, failing with TargetExists rather than replacing `to`.
[[nodiscard]] MoveResult MoveNoReplace(const std::filesystem::path& from,
                                       const std::filesystem::path& to, std::string& error);

// For a party that does not hold the item: takes the item's lock first (Busy when another
// party holds it), then moves it without overwriting.
[[nodiscard]] MoveResult MoveUnheldItem(const std::filesystem::path& from,
                                        const std::filesystem::path& to, std::string& error);

// Moves an item into `folder` under its first free number from `start` on, trying the next
// free number when one is taken in between (at most `max_tries` times). Returns the number
// used, or nullopt.
[[nodiscard]] std::optional<std::uint32_t> MoveToFreeNumber(const std::filesystem::path& from,
                                                            const std::filesystem::path& folder,
                                                            std::string& error,
                                                            int max_tries = 100,
                                                            std::uint32_t start = 1);

enum class DeleteResult { Deleted, Busy, Missing, Failed };

// Deletes an item that the caller does not hold, after taking its lock.
[[nodiscard]] DeleteResult DeleteUnheldItem(const std::filesystem::path& path, std::string& error);

// Copies `from` into `folder` under a new hidden name (".copy." and random letters, never an
// item number) and syncs it. Returns that path, or nullopt with `error` set (nothing is left).
[[nodiscard]] std::optional<std::filesystem::path> CopyToHidden(const std::filesystem::path& from,
                                                                const std::filesystem::path& folder,
                                                                std::string& error);

// Copies `from` into `folder` under a hidden name, syncs it, then renames it to the folder's
// first free number from `start` on, never overwriting: another host reading `folder` never
// sees half a copy.
[[nodiscard]] std::optional<std::uint32_t> CopyIntoFolder(const std::filesystem::path& from,
                                                          const std::filesystem::path& folder,
                                                          std::string& error,
                                                          int max_tries = 100,
                                                          std::uint32_t start = 1);

}  // namespace tarnhold
