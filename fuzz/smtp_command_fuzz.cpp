// Feeds arbitrary bytes to the command-line helpers of the receiver: token splitting with the
// address delimiters and others, line-end stripping, command recognition, address tokens, and
// the DATA line tracker over the input cut into reads. Every result must stay within its
// bound and agree with the token count; the stored text ends every line in CR LF and holds no
// "." line before its end. MAIL parameters parse to a result, never past their text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "transport/smtp_server.h"
#include "transport/smtp_transfer.h"
#include "transport/tokens.h"

using namespace tarnhold;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

void CheckTokens(std::string_view text, std::string_view delimiters) {
  const int count = CountTokens(text, delimiters);
  Check(count >= 0 && static_cast<std::size_t>(count) <= text.size());
  std::string token;
  for (int i = 0; i < count && i < 64; ++i) {
    Check(GetToken(text, delimiters, i, token, text.size() + 1) == 0);
    Check(!token.empty() && token.find_first_of(delimiters) == std::string::npos);
    if (GetToken(text, delimiters, i, token, 8) == 0) Check(token.size() < 8);
  }
  Check(GetToken(text, delimiters, count, token, text.size() + 1) == 1 && token.empty());
  long number = 0;
  (void)GetTokenNumber(text, delimiters, 0, number);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  for (std::string_view delimiters : {"\t ,:", " ", "<>", "@", ","}) CheckTokens(text, delimiters);

  std::string stripped(text);
  StripLineEnd(stripped);
  Check(stripped.size() <= text.size() && text.substr(0, stripped.size()) == stripped);

  (void)RecogniseSmtpCommand(text);
  const PathAndParameters split = SplitPathAndParameters(text);
  Check(split.path.size() + split.parameters.size() == text.size());
  MailParameters parameters;
  if (ParseMailParameters(split.parameters, parameters) == ParameterResult::Accepted) {
    Check(parameters.size >= -1);
  }
  std::string address;
  if (SmtpAddressToken(text, address)) {
    Check(!address.empty() && address.size() < kSmtpAddressSize);
    Check(address.find_first_of("<>\t ,:") == std::string::npos);
  } else {
    Check(address.empty());
  }

  // The same bytes as the reads of a DATA phase: pieces of at most 511 bytes ending at CR LF.
  // Whatever comes, the stored text has no bare CR or LF and no "." line before its end.
  DataLineTracker tracker([] { return std::string("Message-ID: <x>\r\n"); });
  std::string stored;
  std::size_t pos = 0;
  int ends = 0;
  while (pos < text.size() && ends == 0) {
    std::size_t end = text.find("\r\n", pos);
    std::size_t take = end == std::string_view::npos ? text.size() - pos : end + 2 - pos;
    if (take > kSmtpLineBuffer - 1) take = kSmtpLineBuffer - 1;
    std::string_view read = text.substr(pos, take);
    bool complete = read.size() >= 2 && read.substr(read.size() - 2) == "\r\n";
    if (tracker.Add(read, complete, stored)) {
      Check(read == ".\r\n");
      ++ends;
    }
    pos += take;
  }
  for (std::size_t i = 0; i < stored.size(); ++i) {
    if (stored[i] == '\r') Check(i + 1 < stored.size() && stored[i + 1] == '\n');
    if (stored[i] == '\n') Check(i > 0 && stored[i - 1] == '\r');
  }
  std::size_t dot_line = ("\r\n" + stored).find("\r\n.\r\n");
  Check(dot_line == std::string::npos || (ends == 1 && dot_line + 3 == stored.size()));
  return 0;
}
