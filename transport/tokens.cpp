#include "transport/tokens.h"

#include "platform/profile_file.h"

namespace tarnhold {
namespace {

// Walks the tokens of `text`; `visit(token)` returns true to stop. Returns the count visited.
template <typename Visit>
int ForEachToken(std::string_view text, std::string_view delimiters, Visit visit) {
  int count = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    pos = text.find_first_not_of(delimiters, pos);
    if (pos == std::string_view::npos) break;
    std::size_t end = text.find_first_of(delimiters, pos);
    if (end == std::string_view::npos) end = text.size();
    ++count;
    if (visit(text.substr(pos, end - pos))) break;
    pos = end;
  }
  return count;
}

}  // namespace

int GetToken(std::string_view text, std::string_view delimiters, int index, std::string& out,
             std::size_t out_size) {
  out.clear();
  if (delimiters.empty() || index < 0) return 1;
  int seen = 0;
  int result = 1;
  ForEachToken(text, delimiters, [&](std::string_view token) {
    if (seen++ != index) return false;
    if (token.size() < out_size) {
      out.assign(token);
      result = 0;
    }
    return true;
  });
  return result;
}

int CountTokens(std::string_view text, std::string_view delimiters) {
  if (delimiters.empty()) return text.empty() ? 0 : 1;
  return ForEachToken(text, delimiters, [](std::string_view) { return false; });
}

int GetTokenNumber(std::string_view text, std::string_view delimiters, int index, long& out) {
  constexpr std::size_t kNumberBuffer = 60;
  out = 0;
  std::string token;
  if (GetToken(text, delimiters, index, token, kNumberBuffer) != 0) return 1;
  out = ParseLeadingInt(token);
  return 0;
}

void StripLineEnd(std::string& text) {
  auto is_end = [](char c) { return c == '\r' || c == '\n'; };
  if (text.size() >= 2 && is_end(text[text.size() - 2])) {
    text.resize(text.size() - 2);
  } else if (!text.empty() && is_end(text.back())) {
    text.pop_back();
  }
}

}  // namespace tarnhold
