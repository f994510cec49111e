// The header-text decoders on arbitrary text: RFC 2047 encoded words, RFC 2231 parameters in
// a Content-Type and a Content-Disposition field, and the charset conversion (the first line
// names the set). None may crash, and none may grow a text beyond what its conversion allows
// (four bytes of UTF-8 for each byte in).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "message/charset_text.h"
#include "message/encoded_words.h"
#include "message/mime_header.h"

using namespace tarnhold;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t bound = 4 * size + 16;

  if (DecodeEncodedWords(text).size() > bound) std::abort();

  for (const char* field : {"Content-Type: a/b; ", "Content-Disposition: attachment; "}) {
    MimeField parsed = ParseMimeField(std::string(field) + std::string(text));
    if (parsed.name.size() > bound || parsed.filename.size() > bound) std::abort();
  }

  std::size_t line = text.find('\n');
  std::string_view charset = text.substr(0, line);
  std::string_view rest = line == std::string_view::npos ? "" : text.substr(line + 1);
  if (CharsetToUtf8(charset, rest).size() > 4 * rest.size()) std::abort();
  return 0;
}
