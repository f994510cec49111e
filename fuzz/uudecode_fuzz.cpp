// Uudecoding on arbitrary input: each line through the line decoder (at most 63 bytes from
// any line), and the whole input as a message for the uuencode coder, with every block
// decoded into a bounded buffer. Encoded lines must decode back to their bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "message/buffer_source.h"
#include "message/uu_coder.h"
#include "message/uuencode.h"

using namespace tarnhold;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    end = end == std::string_view::npos ? text.size() : end + 1;
    std::string out;
    DecodeUuLine(text.substr(at, end - at), out);
    if (out.size() > 63) std::abort();
    at = end;
  }

  std::string chunk(reinterpret_cast<const char*>(data), size < 45 ? size : 45);
  std::string line, back;
  AppendUuLine(reinterpret_cast<const unsigned char*>(chunk.data()), chunk.size(), line);
  if (!chunk.empty() && (!DecodeUuLine(line, back) || back != chunk)) std::abort();

  std::vector<char> input(data, data + size);
  CBufferSource source(input.data(), input.size(), "in", input.size());
  source.Open(kOpenRead);
  CUuCoder coder;
  if (coder.Parse(source) != 0) return 0;
  std::vector<char> out(64 * 1024);
  for (int i = 0; i < coder.AttachmentCount() && i < 20; ++i) {
    CBufferSource dest(out.data(), out.size(), "out");
    coder.DecodeAttachment(i, dest, false);
  }
  CBufferSource text_out(out.data(), out.size(), "text");
  coder.ExtractText(text_out, false);
  return 0;
}
