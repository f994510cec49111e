#include "sweeper/content_checks.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/profile_file.h"
#include "platform/text_case.h"
#include "platform/unique_fd.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

constexpr std::size_t kScanPiece = 64 * 1024;

}  // namespace

std::vector<std::string> SplitCommaList(std::string_view list) {
  std::vector<std::string> elements;
  std::size_t begin = 0;
  // The appended comma ends the last piece: cut at every comma of the value, then once more.
  for (;;) {
    std::size_t comma = list.find(',', begin);
    if (comma == std::string_view::npos) {
      elements.emplace_back(list.substr(begin));
      return elements;
    }
    elements.emplace_back(list.substr(begin, comma - begin));
    begin = comma + 1;
  }
}

bool PathMatchesFileTypes(const std::vector<std::string>& elements, const fs::path& attachment) {
  const std::string& path = attachment.native();
  for (const auto& element : elements) {
    std::size_t take = std::min(element.size(), path.size());
    if (EqualsNoCase(std::string_view(path).substr(path.size() - take), element)) return true;
  }
  return false;
}

int MatchFileTypes(std::string_view list, const std::vector<fs::path>& attachments) {
  // Element by element, as the list is written, each against every attachment.
  for (const auto& element : SplitCommaList(list)) {
    for (const auto& attachment : attachments) {
      if (PathMatchesFileTypes({element}, attachment)) return 1;
    }
  }
  return 0;
}

namespace {

// MatchKeywordList on a text already lower-cased.
int MatchLoweredText(std::string_view list, std::string_view lower_text) {
  for (const auto& element : SplitCommaList(LowerAscii(list))) {
    if (lower_text.find(element) != std::string_view::npos) return 1;
  }
  return 0;
}

const std::string& Lowered(const std::string& text, std::optional<std::string>& kept) {
  if (!kept) kept = LowerAscii(text);
  return *kept;
}

}  // namespace

int MatchKeywordList(std::string_view list, std::string_view text) {
  return MatchLoweredText(list, LowerAscii(text));
}

bool FileContainsKeyword(const fs::path& file, const std::vector<std::string>& elements) {
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  std::vector<std::string> keywords;
  std::size_t longest = 0;
  for (const auto& e : elements) {
    keywords.push_back(e);
    ToLowerInPlace(keywords.back().data(), keywords.back().size());
    longest = std::max(longest, e.size());
  }
  // Each piece keeps the last longest-1 bytes of the one before, so a keyword that straddles
  // two pieces is still found.
  std::string window;
  std::string piece(kScanPiece, '\0');
  for (;;) {
    ssize_t n = ::read(fd.Get(), piece.data(), piece.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    ToLowerInPlace(piece.data(), static_cast<std::size_t>(n));
    window.append(piece.data(), static_cast<std::size_t>(n));
    for (const auto& k : keywords) {
      if (window.find(k) != std::string::npos) return true;
    }
    if (longest > 1 && window.size() > longest - 1)
      window.erase(0, window.size() - (longest - 1));
    else if (longest <= 1)
      window.clear();
  }
  // An empty file still holds the empty keyword.
  return std::any_of(keywords.begin(), keywords.end(), [](const auto& k) { return k.empty(); });
}

int ContentScan(std::string_view list, const MessageFacts& message, bool subject, bool body,
                bool attachments) {
  // The text as written and as a client shows it: an encoding hides nothing from the list.
  auto matches = [&](const std::string& as_written, const std::string& as_shown) {
    return MatchKeywordList(list, as_written) == 1 ||
           (!as_shown.empty() && MatchKeywordList(list, as_shown) == 1);
  };
  if (subject && matches(message.subject, message.subject_text)) return 1;
  if (body) {
    if (MatchLoweredText(list, Lowered(message.body, message.body_lower)) == 1) return 1;
    if (!message.body_text.empty() &&
        MatchLoweredText(list, Lowered(message.body_text, message.body_text_lower)) == 1) {
      return 1;
    }
  }
  if (attachments) {
    auto elements = SplitCommaList(list);
    for (const auto& file : message.attachments) {
      if (FileContainsKeyword(file, elements)) return 1;
    }
  }
  return 0;
}

int MessageHasContentType(const MessageFacts& message, std::string_view text) {
  std::string wanted = LowerAscii(text);
  for (const auto& type : message.content_types) {
    if (type.find(wanted) != std::string::npos) return 1;
  }
  return 0;
}

}  // namespace tarnhold
