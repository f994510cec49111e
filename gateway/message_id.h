// Message identifiers for messages that arrive without one and for returned mail.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tarnhold {

// "<" + UTC year, month, day, hour, minute, second and millisecond of `when` in decimal without
// leading zeros or separators + twelve random letters from A to Y + "@" + `domain` + ">".
// The letters come from a per-thread generator seeded once from the system's entropy, so two
// identifiers made in the same millisecond still differ.
[[nodiscard]] std::string MakeMessageIdAt(std::chrono::system_clock::time_point when,
                                          std::string_view domain);

// A message identifier needs a buffer of at least this many bytes.
inline constexpr std::size_t kMessageIdBufferSize = 72;
// Domain ending message identifiers when no local domain is configured (a reserved name).
inline constexpr const char* kPlaceholderDomain = "tarnhold.invalid";

// Message identifiers for the engine: the domain is the configuration's first local domain.
// Thread-safe; the domain is read under a small lock and the identifier made outside it.
class MessageIdSource {
 public:
  // The first local domain (lower-cased) ends identifiers; none: kPlaceholderDomain.
  void SetLocalDomains(const std::vector<std::string>& local_domains);
  [[nodiscard]] std::string Make() const;
  // Writes Make() zero-terminated into `buffer`. False (nothing written) when `size` is below
  // kMessageIdBufferSize or the identifier would not fit.
  [[nodiscard]] bool MakeInto(char* buffer, std::size_t size) const;

 private:
  mutable std::mutex lock_;
  std::string domain_ = kPlaceholderDomain;
};

}  // namespace tarnhold
