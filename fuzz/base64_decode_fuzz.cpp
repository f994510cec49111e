// The base64 decoder on arbitrary text: fed whole and one byte at a time it must give the
// same bytes, never more than three per four characters; the part decoder must agree.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "message/base64.h"
#include "message/buffer_source.h"

using namespace tarnhold;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  std::vector<unsigned char> whole(size * 3 / 4 + 3);
  Base64Decoder a;
  std::size_t n = a.Feed(text, size, whole.data());
  if (n > size * 3 / 4) std::abort();

  Base64Decoder b;
  std::string pieces;
  unsigned char buf[4];
  for (std::size_t i = 0; i < size; ++i) {
    std::size_t m = b.Feed(text + i, 1, buf);
    pieces.append(reinterpret_cast<char*>(buf), m);
  }
  if (pieces != std::string(reinterpret_cast<char*>(whole.data()), n)) std::abort();

  std::vector<char> input(data, data + size);
  std::vector<char> out(size + 16);
  CBufferSource message(input.data(), input.size(), "in", input.size());
  CBufferSource dest(out.data(), out.size(), "out");
  message.Open(kOpenRead);
  dest.Open(kOpenWrite);
  if (DecodeBase64Part(message, 0, static_cast<std::int64_t>(size), dest) != 0) std::abort();
  if (std::string(out.data(), dest.Length()) != pieces) std::abort();
  return 0;
}
