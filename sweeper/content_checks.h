// The matchers behind the content and transmission checks: comma lists, file types, keywords
// in text and in attachment files, and content types of the parts. Comma lists are cut at each
// comma of the value with one comma appended; elements keep their blanks, and an empty element
// (two commas in a row, a trailing comma) matches everything.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "message/mime_header.h"  // LowerAscii, UpperAscii
#include "sweeper/message_facts.h"

namespace tarnhold {

// The elements of a comma list: "exe,com" gives exe and com, "exe,com," adds an empty one.
[[nodiscard]] std::vector<std::string> SplitCommaList(std::string_view list);

// 1 when some attachment path ends with some element, ignoring case (an element longer than
// the path is compared with the whole path); else 0. An empty element fits any attachment.
[[nodiscard]] int MatchFileTypes(std::string_view list,
                                 const std::vector<std::filesystem::path>& attachments);
// Whether one attachment path ends with some element of the list.
[[nodiscard]] bool PathMatchesFileTypes(const std::vector<std::string>& elements,
                                        const std::filesystem::path& attachment);

// 1 when the lower-cased text contains some lower-cased element; else 0.
[[nodiscard]] int MatchKeywordList(std::string_view list, std::string_view text);

// Whether the file holds some element, byte by byte, ignoring the case of ASCII letters.
// A file that cannot be read holds nothing. Reads in pieces, so any file size is fine.
[[nodiscard]] bool FileContainsKeyword(const std::filesystem::path& file,
                                       const std::vector<std::string>& elements);

// The content scan: 1 when the list matches the subject (when `subject`), else the body (when
// `body`), else some attachment file (when `attachments`), in that order; else 0.
[[nodiscard]] int ContentScan(std::string_view list, const MessageFacts& message, bool subject,
                              bool body, bool attachments);

// 1 when some part's content type (stored lower-cased) contains the lower-cased text.
[[nodiscard]] int MessageHasContentType(const MessageFacts& message, std::string_view text);

}  // namespace tarnhold
