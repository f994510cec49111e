#include "message/base64.h"

#include <algorithm>
#include <array>

#include "message/part_encoders.h"

namespace tarnhold {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of each character in the alphabet; -1 outside it, -2 for the padding "=".
constexpr std::array<signed char, 256> MakeValues() {
  std::array<signed char, 256> v{};
  for (auto& x : v) x = -1;
  for (int i = 0; i < 64; ++i)
    v[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
  v['='] = -2;
  return v;
}
constexpr std::array<signed char, 256> kValues = MakeValues();

}  // namespace

void AppendBase64(const unsigned char* data, std::size_t size, std::string& out) {
  for (std::size_t i = 0; i < size; i += 3) {
    unsigned b0 = data[i];
    unsigned b1 = i + 1 < size ? data[i + 1] : 0;
    unsigned b2 = i + 2 < size ? data[i + 2] : 0;
    out += kAlphabet[b0 >> 2];
    out += kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    out += i + 1 < size ? kAlphabet[((b1 & 15) << 2) | (b2 >> 6)] : '=';
    out += i + 2 < size ? kAlphabet[b2 & 63] : '=';
  }
}

std::size_t Base64Decoder::Feed(const char* data, std::size_t size, unsigned char* out) {
  std::size_t made = 0;
  std::uint32_t bits = bits_;
  int held = held_;
  int padding = padding_;  // bit n set: the group's character n was "="
  const auto* in = reinterpret_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    // Whole groups of four alphabet characters go at once (the common case).
    while (held == 0 && i + 4 <= size) {
      int a = kValues[in[i]], b = kValues[in[i + 1]], c = kValues[in[i + 2]],
          d = kValues[in[i + 3]];
      if ((a | b | c | d) < 0) break;
      out[made++] = static_cast<unsigned char>((a << 2) | (b >> 4));
      out[made++] = static_cast<unsigned char>((b << 4) | (c >> 2));
      out[made++] = static_cast<unsigned char>((c << 6) | d);
      i += 4;
    }
    if (i >= size) break;
    int v = kValues[in[i]];
    if (v == -1) continue;
    if (v == -2) {
      padding |= 1 << held;
      v = 0;
    }
    bits = (bits << 6) | static_cast<std::uint32_t>(v);
    if (++held < 4) continue;
    out[made++] = static_cast<unsigned char>(bits >> 16);
    if (!(padding & 4)) {
      out[made++] = static_cast<unsigned char>(bits >> 8);
      if (!(padding & 8)) out[made++] = static_cast<unsigned char>(bits);
    }
    held = 0;
    padding = 0;
    bits = 0;
  }
  bits_ = bits;
  held_ = held;
  padding_ = padding;
  return made;
}

int EncodeBase64Part(AttachmentRecord* record, CDataSource& out) {
  int rc = OpenRecordSource(record);
  if (rc != kResultOk) return rc;
  std::string type =
      record->content_type.empty() ? "Application/Octet-stream" : record->content_type;
  std::string line =
      "Content-Type: " + type + "; name=\"" + HeaderName(record->name) + "\"; type=Unknown\r\n";
  if (!WritePartHeader(*record, out, line, "Content-Transfer-Encoding: BASE64\r\n")) {
    rc = kResultShortWrite;
  }
  unsigned char in[kBase64LineInput];
  std::string text;
  while (rc == kResultOk) {
    long n = record->source->Read(reinterpret_cast<char*>(in), sizeof in);
    if (n <= 0) break;
    text.clear();
    AppendBase64(in, static_cast<std::size_t>(n), text);
    text += "\r\n";
    if (!WriteText(out, text)) rc = kResultShortWrite;
  }
  record->source->Close();
  return rc;
}

int DecodeBase64Part(CDataSource& message, std::int64_t offset, std::int64_t length,
                     CDataSource& dest) {
  constexpr std::size_t kBlock = 511;
  if (length <= 0 || message.Seek(offset, kSeekStart) != offset) return kResultOk;
  Base64Decoder decoder;
  char in[kBlock];
  unsigned char out[kBlock];
  std::int64_t left = length;
  for (std::int64_t reads = length / static_cast<std::int64_t>(kBlock) + 1; reads > 0 && left > 0;
       --reads) {
    long n = message.Read(in, static_cast<std::size_t>(std::min<std::int64_t>(kBlock, left)));
    if (n <= 0) break;
    left -= n;
    std::size_t made = decoder.Feed(in, static_cast<std::size_t>(n), out);
    if (made > 0 && dest.Write(reinterpret_cast<char*>(out), made) != static_cast<long>(made)) {
      return kResultShortWrite;
    }
  }
  return kResultOk;
}

}  // namespace tarnhold
