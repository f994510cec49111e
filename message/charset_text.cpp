#include "message/charset_text.h"

#include <errno.h>
#include <iconv.h>

#include <memory>

#include "message/mime_header.h"

namespace tarnhold {
namespace {

// Windows-1252 at 0x80-0x9F; 0 where the set leaves a byte undefined (kept as U+0080 + n,
// as ISO-8859-1 reads it).
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void AppendUtf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string SingleByteToUtf8(std::string_view bytes, bool cp1252) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char b : bytes) {
    auto u = static_cast<unsigned char>(b);
    char32_t c = u;
    if (cp1252 && u >= 0x80 && u < 0xA0 && kCp1252High[u - 0x80] != 0) c = kCp1252High[u - 0x80];
    AppendUtf8(c, out);
  }
  return out;
}

bool IsOneOf(const std::string& name, std::initializer_list<const char*> names) {
  for (const char* n : names) {
    if (name == n) return true;
  }
  return false;
}

struct IconvCloser {
  void operator()(void* cd) const { ::iconv_close(static_cast<iconv_t>(cd)); }
};

// Whole-text conversion; false when the set is unknown or the text does not convert.
bool IconvToUtf8(const std::string& charset, std::string_view bytes, std::string& out) {
  iconv_t cd = ::iconv_open("UTF-8", charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::unique_ptr<void, IconvCloser> owner(cd);
  std::string input(bytes);
  // Four bytes of UTF-8 per input byte is the most any set needs.
  std::string result(input.size() * 4 + 16, '\0');
  char* in = input.data();
  std::size_t in_left = input.size();
  char* to = result.data();
  std::size_t to_left = result.size();
  if (::iconv(cd, &in, &in_left, &to, &to_left) == static_cast<std::size_t>(-1)) return false;
  if (::iconv(cd, nullptr, nullptr, &to, &to_left) == static_cast<std::size_t>(-1)) return false;
  result.resize(result.size() - to_left);
  out = std::move(result);
  return true;
}

}  // namespace

std::string CharsetToUtf8(std::string_view charset, std::string_view bytes) {
  std::string name = LowerAscii(charset.substr(0, charset.find('*')));
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
  while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.erase(0, 1);
  if (name.empty() || IsOneOf(name, {"utf-8", "utf8", "us-ascii", "ascii", "us"})) {
    return std::string(bytes);
  }
  if (IsOneOf(name, {"iso-8859-1", "iso8859-1", "iso_8859-1", "latin1", "latin-1", "l1"})) {
    return SingleByteToUtf8(bytes, false);
  }
  if (IsOneOf(name, {"windows-1252", "cp1252", "x-cp1252"})) return SingleByteToUtf8(bytes, true);
  // iconv also takes names with "//" options: a charset from mail never gets to choose them.
  if (name.find('/') != std::string::npos || name.size() > 64) return std::string(bytes);
  std::string out;
  return IconvToUtf8(name, bytes, out) ? out : std::string(bytes);
}

}  // namespace tarnhold
