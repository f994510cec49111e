// Adding a trusted sender to spamfree.dat while the gateway reads it and the administrator
// may rewrite it: under the list's lock (gateway/spam_free_file.h) the file is read, checked
// and appended to, then synced, so two queue managers never add the same sender twice and
// nothing is half written. The append changes the file's stamp, which tells the administrator
// to read the list again before its next save.
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
