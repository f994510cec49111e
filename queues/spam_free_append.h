// Adding a trusted sender to spamfree.dat while the gateway reads it and the administrator
// may rewrite it: the file is locked, read, checked and appended to through one descriptor,
// then synced, so two queue managers never add the same sender twice and nothing is half
// written. The administrator replaces the file whole (a new file renamed over it) and keeps
// the modification time and size it loaded; an append changes both, which tells it to ask
// before its next save. An append that met a replacement is made again on the new file.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tarnhold::queues {

enum class TrustResult {
  Added,           // the address and a line feed were appended
  AlreadyCovered,  // a line of the file already matches the address (wildcards included)
  Refused,         // the address is empty or holds a control character
  Failed,          // the file could not be opened or written ("could not open " + path)
};

[[nodiscard]] TrustResult AddTrustedSender(const std::filesystem::path& list,
                                           std::string_view address);

}  // namespace tarnhold::queues
