// Text from mail in a declared character set, turned into UTF-8 for the checks: UTF-8 and
// US-ASCII pass as they are, ISO-8859-1 and Windows-1252 are mapped here, any other set goes
// through iconv. Text whose set is unknown, or that does not convert, keeps its bytes.
#pragma once

#include <string>
#include <string_view>

namespace tarnhold {

// `bytes` in UTF-8. `charset` is compared without regard to case; an RFC 2231 language
// suffix ("utf-8*en") is ignored. The result is at most four times as long as `bytes`.
[[nodiscard]] std::string CharsetToUtf8(std::string_view charset, std::string_view bytes);

}  // namespace tarnhold
