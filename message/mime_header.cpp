#include "message/mime_header.h"

#include <vector>

#include "message/encoded_words.h"
#include "platform/profile_file.h"
#include "platform/text_case.h"

namespace tarnhold {
namespace {

// strtok-style split: empty pieces are skipped.
std::vector<std::string_view> Split(std::string_view text, std::string_view delimiters) {
  std::vector<std::string_view> pieces;
  std::size_t at = 0;
  while (at < text.size()) {
    at = text.find_first_not_of(delimiters, at);
    if (at == std::string_view::npos) break;
    std::size_t end = text.find_first_of(delimiters, at);
    if (end == std::string_view::npos) end = text.size();
    pieces.push_back(text.substr(at, end - at));
    at = end;
  }
  return pieces;
}

std::string_view Trim(std::string_view text, std::string_view blanks = " ") {
  std::size_t b = text.find_first_not_of(blanks);
  if (b == std::string_view::npos) return {};
  std::size_t e = text.find_last_not_of(blanks);
  return text.substr(b, e - b + 1);
}

std::string_view StripLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  return line;
}

// Reads one physical line (all of it, in pieces, up to `room` bytes); false at the end.
bool ReadPhysicalLine(CDataSource& source, std::string& line, std::size_t room) {
  line.clear();
  std::string piece;
  while (source.ReadLine(piece, 4096) > 0) {
    if (line.size() < room) line += piece.substr(0, room - line.size());
    if (piece.back() == '\n') break;
  }
  return !line.empty();
}

// Reads one parameter value starting at `at` (after "=" and blanks); moves `at` past it.
std::string ReadParameterValue(std::string_view text, std::size_t& at) {
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  if (at < text.size() && text[at] == '"') {
    std::string value;
    for (++at; at < text.size() && text[at] != '"'; ++at) value += text[at];
    std::size_t end = text.find(';', at);
    at = end == std::string_view::npos ? text.size() : end;
    return value;
  }
  std::size_t end = text.find(';', at);
  if (end == std::string_view::npos) end = text.size();
  std::string value(Trim(text.substr(at, end - at), " \t"));
  at = end;
  return value;
}

}  // namespace

std::string UpperAscii(std::string_view text) { return ToUpper(text); }

std::string LowerAscii(std::string_view text) { return ToLower(text); }

int ContentClassOf(std::string_view main_type) {
  static constexpr struct {
    const char* name;
    int cls;
  } kClasses[] = {{"text", kClassText},       {"audio", kClassAudio},
                  {"video", kClassVideo},     {"application", kClassApplication},
                  {"message", kClassMessage}, {"multipart", kClassMultipart}};
  for (const auto& c : kClasses) {
    if (EqualsNoCase(main_type, c.name)) return c.cls;
  }
  return kClassOther;
}

bool TopLevelMainType(std::string_view line, std::string& main_type) {
  auto pieces = Split(line, ":/;");
  if (pieces.size() < 3) return false;
  main_type = std::string(Trim(pieces[1]));
  return true;
}

std::string RemoveComments(std::string_view text) {
  std::string out;
  bool quoted = false;
  int depth = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    bool escaped = i > 0 && text[i - 1] == '\\';
    if (depth == 0 && c == '"' && !escaped) quoted = !quoted;
    if (!quoted && c == '(' && !escaped) {
      ++depth;
      continue;
    }
    if (depth > 0) {
      if (c == ')' && !escaped) --depth;
      continue;
    }
    out += c;
  }
  return out;
}

MimeField ParseMimeField(std::string_view text) {
  MimeField field;
  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    field.field_name = std::string(text);
    return field;
  }
  field.field_name = std::string(text.substr(0, colon));
  std::string_view rest = text.substr(colon + 1);
  constexpr std::string_view kTokenEnd = " \t;";
  std::size_t at = rest.find_first_not_of(kTokenEnd);
  if (at == std::string_view::npos) return field;
  std::size_t end = rest.find_first_of(kTokenEnd, at);
  if (end == std::string_view::npos) end = rest.size();
  field.value = std::string(rest.substr(at, end - at));
  at = end;
  constexpr std::string_view kNameEnd = "= \t;";
  std::vector<MimeParameter> parameters;
  while (at < rest.size()) {
    at = rest.find_first_not_of(kTokenEnd, at);
    if (at == std::string_view::npos) break;
    end = rest.find_first_of(kNameEnd, at);
    if (end == std::string_view::npos) end = rest.size();
    std::string_view name = rest.substr(at, end - at);
    at = end;
    while (at < rest.size() && (rest[at] == ' ' || rest[at] == '\t')) ++at;
    if (at >= rest.size() || rest[at] != '=') continue;
    ++at;
    parameters.push_back({LowerAscii(name), ReadParameterValue(rest, at)});
  }
  // Names arrive encoded (RFC 2047 words, RFC 2231 sections); the checks compare what a
  // mail client would show.
  field.name = ResolveParameter(parameters, "name");
  field.filename = ResolveParameter(parameters, "filename");
  field.charset = ResolveParameter(parameters, "charset");
  field.type = ResolveParameter(parameters, "type");
  return field;
}

std::string ReadUnfoldedField(CDataSource& source, std::int64_t pos) {
  if (source.Seek(pos, kSeekStart) != pos) return "";
  std::string text, line;
  if (!ReadPhysicalLine(source, line, kMaxFieldBytes)) return "";
  text = StripLineEnd(line);
  for (;;) {
    std::int64_t next = source.Seek(0, kSeekCurrent);
    if (!ReadPhysicalLine(source, line, kMaxFieldBytes) || (line[0] != ' ' && line[0] != '\t')) {
      source.Seek(next, kSeekStart);
      break;
    }
    if (text.size() < kMaxFieldBytes) {
      text += StripLineEnd(std::string_view(line).substr(1));
      if (text.size() > kMaxFieldBytes) text.resize(kMaxFieldBytes);
    }
  }
  return RemoveComments(text);
}

std::string BoundaryFromText(std::string_view text) {
  std::size_t end = text.find_first_of("\r;");
  std::string_view token = text.substr(0, end);
  std::size_t eq = token.find('=');
  if (eq == std::string_view::npos) return "";
  std::string_view value = token.substr(eq + 1);
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  if (!value.empty() && value.front() == '"') {
    value.remove_prefix(1);
    std::size_t last = value.find_last_not_of("\r\n \"");
    return last == std::string_view::npos ? "" : std::string(value.substr(0, last + 1));
  }
  return std::string(Trim(value, " \t\n"));
}

int EncodingFromText(std::string_view text) {
  auto pieces = Split(text, " \t:/\r\n");
  if (pieces.size() < 2) return 0;
  std::string token = UpperAscii(pieces[1]);
  static constexpr struct {
    const char* name;
    int encoding;
  } kNames[] = {{"8BIT", 3},     {"BINARY", 4},   {"BASE64", 1}, {"QUOTED-PRINTABLE", 2},
                {"BINHEX40", 5}, {"MULTIPART", 6}};
  for (const auto& n : kNames) {
    if (token == n.name) return n.encoding;
  }
  return 0;
}

std::string OneLine(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  }
  return out;
}

}  // namespace tarnhold
