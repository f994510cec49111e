// Reading the MIME header fields the coder needs: a Content-Type (or Content-Disposition)
// field unfolded and split into its type and parameters, the boundary of a multipart
// header, the transfer encoding named by a Content-Transfer-Encoding field, and the content
// class of a main type. Every read is bounded, however long the field is. Also the guard that
// keeps a value the gateway writes into a header field on one line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "message/data_source.h"

namespace tarnhold {

enum ContentClass : int {
  kClassText = 0,
  kClassAudio = 2,
  kClassVideo = 3,
  kClassApplication = 4,
  kClassMessage = 5,
  kClassMultipart = 6,
  kClassOther = 9,
};

// Longest unfolded field the parser keeps; the rest of a longer one is ignored.
inline constexpr std::size_t kMaxFieldBytes = 64 * 1024;

// "text" 0, "audio" 2, "video" 3, "application" 4, "message" 5, "multipart" 6, compared
// without regard to case; anything else 9.
[[nodiscard]] int ContentClassOf(std::string_view main_type);

// The main type of a top-level Content-Type line: the line is split at ":", "/" and ";"; the
// second piece, trimmed of spaces, when a third piece (the subtype) is present. False when
// the line has fewer pieces.
[[nodiscard]] bool TopLevelMainType(std::string_view line, std::string& main_type);

struct MimeField {
  std::string field_name;  // the text before the first ":"
  std::string value;       // first token of the value (split at space, tab and ";")
  std::string name;        // NAME parameter
  std::string charset;     // CHARSET parameter
  std::string type;        // TYPE parameter
  std::string filename;    // FILENAME parameter (Content-Disposition)
};

// Splits an unfolded field. Parameter names are matched without regard to case; a value in
// double quotes is the text between them (a backslash stays, as Windows paths need), any
// other runs to the next ";" trimmed of spaces. Values are decoded as encoded_words.h says
// (RFC 2231 sections and charsets, RFC 2047 encoded words), so names arrive in UTF-8.
[[nodiscard]] MimeField ParseMimeField(std::string_view text);

// Removes every parenthesised comment outside double quotes (a quote preceded by a
// backslash does not count); nested comments go with their outer one.
[[nodiscard]] std::string RemoveComments(std::string_view text);

// Reads the field whose name begins at `pos`: its line and each following line that begins
// with a space or tab (without that first character), line ends stripped, at most
// kMaxFieldBytes. Comments are removed. The source's position is left after the field.
[[nodiscard]] std::string ReadUnfoldedField(CDataSource& source, std::int64_t pos);

// The boundary in the text read at a "boundary" keyword: the token up to CR or ";", after
// its first "=" and any spaces; a quoted value runs from after the quote to its last
// character that is not CR, LF, blank or quote. Empty when there is none.
[[nodiscard]] std::string BoundaryFromText(std::string_view text);

// The encoding number named by the text read at a Content-Transfer-Encoding field: its
// second token (split at blanks, ":", "/", CR and LF), upper-cased: "8BIT" 3, "BINARY" 4,
// "BASE64" 1, "QUOTED-PRINTABLE" 2, "BINHEX40" 5, "MULTIPART" 6, anything else 0.
[[nodiscard]] int EncodingFromText(std::string_view text);

[[nodiscard]] std::string UpperAscii(std::string_view text);
[[nodiscard]] std::string LowerAscii(std::string_view text);

// A value for a header field the gateway writes, on one line: each CR, LF or NUL becomes a
// space, so a damaged message or item can never start a header field of its own.
[[nodiscard]] std::string OneLine(std::string_view text);

}  // namespace tarnhold
