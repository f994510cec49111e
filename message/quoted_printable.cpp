#include "message/quoted_printable.h"

#include <algorithm>
#include <cstring>

#include "message/part_encoders.h"

namespace tarnhold {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr std::size_t kLineBreakAfter = 72;

bool IsPlain(unsigned char c) {
  return (c >= 33 && c <= 60) || (c >= 62 && c <= 126) || c == '\t' || c == ' ';
}

int HexValue(char c) { return (c >= '0' && c <= '9') ? c - '0' : c - 55; }

}  // namespace

void QuotedPrintableEncoder::Feed(const unsigned char* data, std::size_t size, std::string& out) {
  for (std::size_t i = 0; i < size; ++i) {
    if (line_.size() > kLineBreakAfter) {
      out += line_;
      out += "=\r\n";
      line_.clear();
    }
    unsigned char c = data[i];
    if (IsPlain(c)) {
      line_ += static_cast<char>(c);
    } else {
      line_ += '=';
      line_ += kHex[c >> 4];
      line_ += kHex[c & 15];
    }
  }
}

void QuotedPrintableEncoder::Finish(std::string& out) {
  out += line_;
  line_.clear();
}

std::size_t QuotedPrintableDecoder::Feed(const char* data, std::size_t size, char* out) {
  std::size_t made = 0;
  for (std::size_t i = 0; i < size; ++i) {
    switch (state_) {
      case State::Text: {
        // Plain runs are copied whole up to the next "=".
        const void* eq = std::memchr(data + i, '=', size - i);
        std::size_t run =
            eq ? static_cast<std::size_t>(static_cast<const char*>(eq) - data) - i : size - i;
        std::memcpy(out + made, data + i, run);
        made += run;
        i += run;
        if (eq) state_ = State::AfterEquals;
        break;
      }
      case State::AfterEquals:
        if (data[i] == '\t' || data[i] == ' ' || data[i] == '\r') {
          state_ = State::SkipToLineFeed;
        } else {
          first_ = data[i];
          state_ = State::Escape;
        }
        break;
      case State::Escape:
        out[made++] = static_cast<char>((HexValue(first_) * 16 + HexValue(data[i])) & 255);
        state_ = State::Text;
        break;
      case State::SkipToLineFeed:
        if (data[i] == '\n') state_ = State::Text;
        break;
    }
  }
  return made;
}

void QuotedPrintableDecoder::Feed(const char* data, std::size_t size, std::string& out) {
  std::size_t at = out.size();
  out.resize(at + size);
  out.resize(at + Feed(data, size, out.data() + at));
}

std::size_t QuotedPrintableDecoder::Finish(char* out) {
  std::size_t made = 0;
  if (state_ == State::AfterEquals || state_ == State::Escape) out[made++] = '=';
  if (state_ == State::Escape) out[made++] = first_;
  state_ = State::Text;
  return made;
}

void QuotedPrintableDecoder::Finish(std::string& out) {
  char tail[2];
  out.append(tail, Finish(tail));
}

int EncodeQuotedPrintablePart(AttachmentRecord* record, CDataSource& out) {
  int rc = OpenRecordSource(record);
  if (rc != kResultOk) return rc;
  std::string type = record->content_type.empty() ? "Text/Plain" : record->content_type;
  if (!WritePartHeader(*record, out, "Content-Type: " + type + "; charset=US-ASCII\r\n",
                       "Content-Transfer-Encoding: Quoted-Printable\r\n")) {
    rc = kResultShortWrite;
  }
  QuotedPrintableEncoder encoder;
  unsigned char in[99];
  std::string text;
  while (rc == kResultOk) {
    long n = record->source->Read(reinterpret_cast<char*>(in), sizeof in);
    if (n <= 0) {
      encoder.Finish(text);
      if (!WriteText(out, text)) rc = kResultShortWrite;
      break;
    }
    encoder.Feed(in, static_cast<std::size_t>(n), text);
    if (!WriteText(out, text)) rc = kResultShortWrite;
    text.clear();
  }
  record->source->Close();
  return rc;
}

int DecodeQuotedPrintablePart(CDataSource& message, std::int64_t offset, std::int64_t length,
                              CDataSource& dest) {
  constexpr std::size_t kBlock = 4096;
  if (length <= 0 || message.Seek(offset, kSeekStart) != offset) return kResultOk;
  QuotedPrintableDecoder decoder;
  char in[kBlock], out[kBlock];
  std::int64_t left = length;
  while (left > 0) {
    long n = message.Read(in, static_cast<std::size_t>(std::min<std::int64_t>(kBlock, left)));
    if (n <= 0) break;
    left -= n;
    std::size_t made = decoder.Feed(in, static_cast<std::size_t>(n), out);
    if (!WriteText(dest, std::string_view(out, made))) return kResultShortWrite;
  }
  std::size_t made = decoder.Finish(out);
  return WriteText(dest, std::string_view(out, made)) ? kResultOk : kResultShortWrite;
}

}  // namespace tarnhold
