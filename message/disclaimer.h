// Disclaimers added to a queue item in place: a text disclaimer at the end of the plain-text
// part (or of a single-part message), an HTML disclaimer before the closing body tag of the
// HTML part. The item is locked while it is edited; the text after the insertion point is
// kept byte for byte.
#pragma once

#include <filesystem>

namespace tarnhold {

// Items whose text after the insertion point is larger than this are not edited.
inline constexpr std::size_t kMaxDisclaimerHeldBack = 16 * 1024 * 1024;
inline constexpr std::size_t kMaxDisclaimerText = 1024 * 1024;

// Multipart (some line names a "boundary="): the disclaimer goes before the first boundary
// line after the body of the first "Content-Type: text/plain" part; without such a place
// nothing is written. Single part: the disclaimer and the "." line replace the closing
// CR LF "." CR LF (or are added at the end when the item does not end so).
// 1 success, -1 a file error (the item busy or unreadable, the disclaimer file unreadable).
[[nodiscard]] int AddTextDisclaimer(const std::filesystem::path& item,
                                    const std::filesystem::path& disclaimer);

// Before the first "</BODY>", "</body>", "</HTML>" or "</html>" in the body of the first
// "Content-Type: text/html" part that is not a named attachment, in a multipart message.
// 1 added, 0 no such place (no HTML body part), -1 a file error.
[[nodiscard]] int AddHtmlDisclaimer(const std::filesystem::path& item,
                                    const std::filesystem::path& disclaimer);

}  // namespace tarnhold
