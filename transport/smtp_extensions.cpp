#include "transport/smtp_extensions.h"

#include <charconv>
#include <limits>

#include "gateway/gateway_config.h"
#include "platform/text_case.h"

namespace tarnhold {
namespace {

// The next blank-separated word of `text`, taken off its front.
std::string_view NextWord(std::string_view& text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) {
    text = {};
    return {};
  }
  text.remove_prefix(first);
  const std::size_t end = text.find(' ');
  std::string_view word = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view() : text.substr(end);
  return word;
}

// size-value = 1*20DIGIT; a value past the range reads as the largest one.
bool ParseSize(std::string_view value, std::int64_t& size) {
  if (value.empty() || value.size() > 20 ||
      value.find_first_not_of("0123456789") != std::string_view::npos) {
    return false;
  }
  auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), size);
  if (ec == std::errc::result_out_of_range) size = std::numeric_limits<std::int64_t>::max();
  return ec == std::errc() || ec == std::errc::result_out_of_range;
}

}  // namespace

ReceiverPolicy ReceiverPolicyFrom(const CGatewayConfig& config,
                                  const std::function<void(const std::string&)>& log) {
  ReceiverPolicy policy;
  policy.max_message_bytes =
      config.SMTPMaxMessageSize > 0 ? std::int64_t{config.SMTPMaxMessageSize} * 1024 : 0;
  policy.relay = RelayPolicyFrom(config, log);
  return policy;
}

std::vector<std::string> SmtpExtensions(const ReceiverPolicy& policy, TlsOffer tls) {
  // RFC 1870: SIZE 0 says that no fixed limit is in force.
  std::vector<std::string> keywords = {"SIZE " + std::to_string(policy.max_message_bytes),
                                       "8BITMIME", "PIPELINING"};
  if (tls == TlsOffer::Yes) keywords.emplace_back("STARTTLS");
  return keywords;
}

std::string EhloReply(std::string_view server_name, const std::vector<std::string>& extensions) {
  std::string reply = std::string(extensions.empty() ? "250 " : "250-") + std::string(server_name) +
                      "\r\n";
  for (std::size_t i = 0; i < extensions.size(); ++i) {
    reply += (i + 1 < extensions.size() ? "250-" : "250 ") + extensions[i] + "\r\n";
  }
  return reply;
}

PathAndParameters SplitPathAndParameters(std::string_view line) {
  const std::size_t open = line.find('<');
  const std::size_t close = open == std::string_view::npos ? open : line.find('>', open);
  if (close == std::string_view::npos) return {line, {}};
  return {line.substr(0, close + 1), line.substr(close + 1)};
}

bool IsNullPath(std::string_view path) {
  const std::size_t open = path.find('<');
  return open != std::string_view::npos && path.substr(open) == "<>";
}

ParameterResult ParseMailParameters(std::string_view parameters, MailParameters& out) {
  for (std::string_view word = NextWord(parameters); !word.empty(); word = NextWord(parameters)) {
    const std::size_t equals = word.find('=');
    const std::string keyword = ToUpper(word.substr(0, equals));
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view() : word.substr(equals + 1);
    if (keyword == "SIZE") {
      if (!ParseSize(value, out.size)) return ParameterResult::BadValue;
    } else if (keyword == "BODY") {
      const std::string body = ToUpper(value);
      if (body != "7BIT" && body != "8BITMIME") return ParameterResult::BadValue;
      out.eight_bit = body == "8BITMIME";
    } else {
      return ParameterResult::Unknown;
    }
  }
  return ParameterResult::Accepted;
}

ParameterResult ParseRcptParameters(std::string_view parameters) {
  return NextWord(parameters).empty() ? ParameterResult::Accepted : ParameterResult::Unknown;
}

}  // namespace tarnhold
