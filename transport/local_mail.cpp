#include "transport/local_mail.h"

#include "transport/smtp_client.h"

namespace tarnhold {

int SendLocalMail(std::uint16_t smtp_in_port, std::string_view to, std::string_view from,
                  std::string_view subject, std::string_view text,
                  const std::filesystem::path& text_file) {
  CSmtpClient client;
  // RFC 3834: mail the gateway writes itself says so, so that no responder answers it.
  client.AddExtraHeader("Auto-Submitted: auto-generated");
  if (client.Connect("127.0.0.1", "local", smtp_in_port) != kSmtpConnected) {
    return kLocalMailNoConnection;
  }
  int code = client.Send(to, from, subject, MessageText(text, text_file));
  client.Close();
  return code == kSmtpSent ? kLocalMailSent : kLocalMailFailed;
}

}  // namespace tarnhold
