// The quoted-printable decoder on arbitrary text, whole and one byte at a time (same result,
// never longer than the input), and the encoder's round trip: encoding any bytes and
// decoding the result gives them back, in lines of at most 76 characters.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "message/quoted_printable.h"

using namespace tarnhold;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  QuotedPrintableDecoder whole;
  std::string a;
  whole.Feed(text, size, a);
  whole.Finish(a);
  if (a.size() > size) std::abort();
  QuotedPrintableDecoder pieces;
  std::string b;
  for (std::size_t i = 0; i < size; ++i) pieces.Feed(text + i, 1, b);
  pieces.Finish(b);
  if (a != b) std::abort();

  QuotedPrintableEncoder encoder;
  std::string encoded;
  encoder.Feed(data, size, encoded);
  encoder.Finish(encoded);
  std::size_t line = 0;
  for (char c : encoded) {
    line = c == '\n' ? 0 : line + 1;
    if (line > 77) std::abort();
  }
  QuotedPrintableDecoder back;
  std::string decoded;
  back.Feed(encoded.data(), encoded.size(), decoded);
  back.Finish(decoded);
  if (decoded != std::string(text, size)) std::abort();
  return 0;
}
