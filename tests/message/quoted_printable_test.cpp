#include "message/quoted_printable.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/message/memory_buffer.h"

namespace tarnhold {
namespace {

using test::MemoryBuffer;

std::string EncodeData(const std::string& data) {
  MemoryBuffer in(data);
  MemoryBuffer out;
  AttachmentRecord record;
  record.source = in.Source().Clone();
  EXPECT_EQ(out.Source().Open(kOpenWrite), 0);
  EXPECT_EQ(EncodeQuotedPrintablePart(&record, out.Source()), 0);
  std::string text = out.Text();
  return text.substr(text.find("\r\n\r\n") + 4);
}

std::string Decode(const std::string& text, std::size_t piece) {
  QuotedPrintableDecoder d;
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += piece) {
    d.Feed(text.data() + i, std::min(piece, text.size() - i), out);
  }
  d.Finish(out);
  return out;
}

TEST(QuotedPrintable, EncodesLineBreaksAsEscapes) {
  EXPECT_EQ(EncodeData("a=b\r\n"), "a=3Db=0D=0A");
  EXPECT_EQ(EncodeData("tab\tand space ~\x7f\xff"), "tab\tand space ~=7F=FF");
  EXPECT_EQ(EncodeData(""), "");
}

TEST(QuotedPrintable, SoftBreaksKeepLinesShort) {
  std::string data;
  for (int i = 0; i < 300; ++i) data += static_cast<char>(i % 7 == 0 ? '\n' : 'a' + i % 26);
  std::string text = EncodeData(data);
  std::size_t at = 0, lines = 0;
  for (std::size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
    EXPECT_LE(end - at, 76u);
    EXPECT_EQ(text[end - 1], '=');
    ++lines;
  }
  EXPECT_GT(lines, 3u);
  EXPECT_LE(text.size() - at, 76u);
  EXPECT_EQ(Decode(text, 4096), data);
}

TEST(QuotedPrintable, DecodesWholeAndInPieces) {
  struct Case {
    const char* text;
    std::string want;
  } cases[] = {
      {"=41", "A"},
      {"=\r\nX", "X"},
      {"a= \t junk\r\nb", "ab"},  // "=" then blank: soft break up to the line feed
      {"=0D=0A", "\r\n"},
      {"=3d", "]"},      // "d" is read as 100 - 55
      {"abc=", "abc="},  // "=" at the very end of the data is kept
      {"abc=4", "abc=4"},
      {"abc=\r", "abc"},  // a soft break that never reaches its line feed
      {"plain text\r\n", "plain text\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Decode(c.text, 4096), c.want);
    EXPECT_EQ(Decode(c.text, 1), c.want);
  }
}

TEST(QuotedPrintable, PartDecoderRoundTripsBinaryData) {
  std::string data;
  for (int i = 0; i < 10000; ++i) data += static_cast<char>((i * 131) & 255);
  std::string encoded = "junk" + EncodeData(data) + "more";
  MemoryBuffer message(encoded);
  ASSERT_EQ(message.Source().Open(kOpenRead), 0);
  MemoryBuffer dest;
  ASSERT_EQ(dest.Source().Open(kOpenWrite), 0);
  EXPECT_EQ(DecodeQuotedPrintablePart(message.Source(), 4, encoded.size() - 8, dest.Source()), 0);
  EXPECT_EQ(dest.Text(), data);
  MemoryBuffer tiny("", 10);
  ASSERT_EQ(tiny.Source().Open(kOpenWrite), 0);
  EXPECT_EQ(DecodeQuotedPrintablePart(message.Source(), 4, encoded.size() - 8, tiny.Source()), 82);
}

}  // namespace
}  // namespace tarnhold
