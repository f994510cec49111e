#include "message/quoted_printable.h"

#include <algorithm>

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

void QuotedPrintableDecoder::Feed(const char* data, std::size_t size, std::string& out) {
  for (std::size_t i = 0; i < size; ++i) {
    char c = data[i];
    switch (state_) {
      case State::Text:
        if (c == '=') {
          state_ = State::AfterEquals;
        } else {
          out += c;
        }
        break;
      case State::AfterEquals:
        if (c == '\t' || c == ' ' || c == '\r') {
          state_ = State::SkipToLineFeed;
        } else {
          first_ = c;
          state_ = State::Escape;
        }
        break;
      case State::Escape:
        out += static_cast<char>((HexValue(first_) * 16 + HexValue(c)) & 255);
        state_ = State::Text;
        break;
      case State::SkipToLineFeed:
        if (c == '\n') state_ = State::Text;
        break;
    }
  }
}

void QuotedPrintableDecoder::Finish(std::string& out) {
  if (state_ == State::AfterEquals) out += '=';
  if (state_ == State::Escape) {
    out += '=';
    out += first_;
  }
  state_ = State::Text;
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
  char in[kBlock];
  std::string out;
  std::int64_t left = length;
  while (left > 0) {
    long n = message.Read(in, static_cast<std::size_t>(std::min<std::int64_t>(kBlock, left)));
    if (n <= 0) break;
    left -= n;
    out.clear();
    decoder.Feed(in, static_cast<std::size_t>(n), out);
    if (!WriteText(dest, out)) return kResultShortWrite;
  }
  out.clear();
  decoder.Finish(out);
  return WriteText(dest, out) ? kResultOk : kResultShortWrite;
}

}  // namespace tarnhold
