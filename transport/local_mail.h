// Mail the gateway writes itself (replies, notices, alerts) handed to its own SMTP receiver
// on 127.0.0.1, where it is queued and swept by the rules like any other mail. Nothing is
// retried here; the caller logs the outcome.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace tarnhold {

inline constexpr int kLocalMailSent = 1;
inline constexpr int kLocalMailFailed = -1;
inline constexpr int kLocalMailNoConnection = -2;

// Connects to 127.0.0.1:`smtp_in_port` with the HELO name "local" and sends one message to
// each address of `to` (comma-separated), with envelope sender and From header `from`, marked
// "Auto-Submitted: auto-generated". The
// body is `text`; when `text_file` is not empty, CR LF and the file's content follow, its
// lines ending in CR LF whatever they ended in. The file is streamed, never read whole.
//   kLocalMailSent (1): every recipient's copy was accepted.
//   kLocalMailNoConnection (-2): no receiver answered (connect, greeting or HELO failed).
//   kLocalMailFailed (-1): a transaction failed: no usable recipient, a recipient or the
//     sender refused, the text file unreadable, the data refused or the connection broken.
//     Copies for recipients before the failure may already have been queued.
[[nodiscard]] int SendLocalMail(std::uint16_t smtp_in_port, std::string_view to,
                                std::string_view from, std::string_view subject,
                                std::string_view text, const std::filesystem::path& text_file = {});

}  // namespace tarnhold
