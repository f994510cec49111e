#include "message/encoded_words.h"

#include <algorithm>
#include <charconv>
#include <map>

#include "message/base64.h"
#include "message/charset_text.h"
#include "message/mime_header.h"

namespace tarnhold {
namespace {

// RFC 2231 sections beyond this number are ignored: a value is bounded by its field anyway.
constexpr int kMaxSection = 999;
constexpr std::size_t kMaxCharsetName = 64;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// encoded-word = "=?" charset "?" encoding "?" encoded-text "?="
struct EncodedWord {
  std::size_t end = 0;  // just after "?="
  std::string_view charset;
  char encoding = 'B';
  std::string_view payload;
};

bool ParseEncodedWord(std::string_view text, std::size_t at, EncodedWord& word) {
  if (text.compare(at, 2, "=?") != 0) return false;
  // Each search is bounded by the next "?": neither a charset nor encoded text holds one, so
  // a text full of broken words is still read in linear time.
  std::size_t charset_end = text.substr(at + 2, kMaxCharsetName + 1).find('?');
  if (charset_end == std::string_view::npos || charset_end == 0) return false;
  charset_end += at + 2;
  if (charset_end + 2 >= text.size() || text[charset_end + 2] != '?') return false;
  char encoding = static_cast<char>(text[charset_end + 1] & ~0x20);
  if (encoding != 'B' && encoding != 'Q') return false;
  std::size_t payload_at = charset_end + 3;
  std::size_t close = text.find('?', payload_at);
  if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != '=')
    return false;
  word.charset = text.substr(at + 2, charset_end - at - 2);
  word.payload = text.substr(payload_at, close - payload_at);
  if (std::any_of(word.charset.begin(), word.charset.end(), IsBlank) ||
      std::any_of(word.payload.begin(), word.payload.end(), IsBlank)) {
    return false;
  }
  word.encoding = encoding;
  word.end = close + 2;
  return true;
}

// Q: "_" is a space, "=" and two hexadecimal digits one byte; anything else as written.
void AppendQ(std::string_view payload, std::string& out) {
  for (std::size_t i = 0; i < payload.size(); ++i) {
    char c = payload[i];
    if (c == '_') {
      out += ' ';
    } else if (c == '=' && i + 2 < payload.size() && HexValue(payload[i + 1]) >= 0 &&
               HexValue(payload[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(payload[i + 1]) * 16 + HexValue(payload[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
}

// Bytes of a run of adjacent encoded words in one charset, converted once the run ends.
class WordRun {
 public:
  explicit WordRun(std::string& out) : out_(out) {}
  void Add(const EncodedWord& word) {
    std::string charset = LowerAscii(word.charset.substr(0, word.charset.find('*')));
    if (!active_ || charset != charset_) Flush();
    if (!active_) {
      active_ = true;
      charset_ = charset;
    }
    if (word.encoding == 'Q') {
      AppendQ(word.payload, bytes_);
      base64_ = Base64Decoder();  // a Q word ends any base64 group before it
      return;
    }
    std::string decoded(word.payload.size() * 3 / 4 + 3, '\0');
    std::size_t n = base64_.Feed(word.payload.data(), word.payload.size(),
                                 reinterpret_cast<unsigned char*>(decoded.data()));
    bytes_.append(decoded.data(), n);
  }
  void Flush() {
    if (!active_) return;
    out_ += CharsetToUtf8(charset_, bytes_);
    bytes_.clear();
    base64_ = Base64Decoder();
    active_ = false;
  }

 private:
  std::string& out_;
  bool active_ = false;
  std::string charset_;
  std::string bytes_;
  Base64Decoder base64_;
};

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

struct Section {
  std::string value;
  bool extended = false;
};

// "attribute*", "attribute*N" and "attribute*N*" of `attribute`; -1 for the single
// extended form, -2 when `name` is none of them.
int SectionNumber(std::string_view name, std::string_view attribute, bool& extended) {
  if (name.size() <= attribute.size() || name.substr(0, attribute.size()) != attribute ||
      name[attribute.size()] != '*') {
    return -2;
  }
  std::string_view rest = name.substr(attribute.size() + 1);
  extended = true;
  if (rest.empty()) return -1;
  extended = rest.back() == '*';
  if (extended) rest.remove_suffix(1);
  int number = -1;
  auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), number);
  if (ec != std::errc() || end != rest.data() + rest.size() || number < 0 || number > kMaxSection)
    return -2;
  return number;
}

// charset'language'text: the charset and the text (percent escapes still in place).
std::string_view SplitExtended(std::string_view value, std::string& charset) {
  std::size_t first = value.find('\'');
  std::size_t second = first == std::string_view::npos ? first : value.find('\'', first + 1);
  if (second == std::string_view::npos) return value;
  charset = std::string(value.substr(0, first));
  return value.substr(second + 1);
}

}  // namespace

std::string DecodeEncodedWords(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  WordRun run(out);
  std::size_t at = 0;
  bool after_word = false;
  while (at < text.size()) {
    EncodedWord word;
    if (ParseEncodedWord(text, at, word)) {
      run.Add(word);
      at = word.end;
      after_word = true;
      continue;
    }
    // White space between two encoded words is not part of the text.
    if (after_word && IsBlank(text[at])) {
      std::size_t next = at;
      while (next < text.size() && IsBlank(text[next])) ++next;
      if (ParseEncodedWord(text, next, word)) {
        at = next;
        continue;
      }
    }
    run.Flush();
    after_word = false;
    out += text[at++];
  }
  run.Flush();
  return out;
}

std::string ResolveParameter(const std::vector<MimeParameter>& parameters,
                             std::string_view attribute) {
  std::map<int, Section> sections;
  const MimeParameter* plain = nullptr;
  for (const auto& p : parameters) {
    if (p.name == attribute) {
      if (!plain) plain = &p;
      continue;
    }
    bool extended = false;
    int number = SectionNumber(p.name, attribute, extended);
    if (number == -2) continue;
    sections.try_emplace(number, Section{p.value, extended});
  }
  if (sections.empty()) return plain ? DecodeEncodedWords(plain->value) : std::string();
  // A single "attribute*" stands before the sections, as section 0 would.
  std::string charset, bytes;
  bool any_extended = false;
  for (const auto& [number, section] : sections) {
    if (!section.extended) {
      bytes += section.value;
      continue;
    }
    any_extended = true;
    std::string_view text = section.value;
    if (number <= 0 && charset.empty()) text = SplitExtended(text, charset);
    bytes += PercentDecode(text);
  }
  if (!any_extended) return DecodeEncodedWords(bytes);
  return CharsetToUtf8(charset, bytes);
}

}  // namespace tarnhold
