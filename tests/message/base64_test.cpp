#include "message/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/message/memory_buffer.h"

namespace tarnhold {
namespace {

using test::MemoryBuffer;

std::string Decode(const std::string& text, std::size_t piece) {
  Base64Decoder d;
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += piece) {
    std::size_t n = std::min(piece, text.size() - i);
    unsigned char buf[1024];
    std::size_t made = d.Feed(text.data() + i, n, buf);
    out.append(reinterpret_cast<char*>(buf), made);
  }
  return out;
}

TEST(Base64, DecodesWholeAndInPieces) {
  struct Case {
    const char* text;
    std::string want;
  } cases[] = {
      {"QQ==", "A"},
      {"QUI=", "AB"},
      {"QUJD", "ABC"},
      {"QU\r\nJD\r\n RA==", "ABCD"},
      {"QUJD!*\tRA==", "ABCD"},  // characters outside the alphabet are skipped
      {"QUJDR", "ABC"},          // an unfinished group gives nothing
      {"QQ==QUJD", "AABC"},      // decoding goes on after padding
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Decode(c.text, 1000), c.want);
    EXPECT_EQ(Decode(c.text, 1), c.want);
  }
}

TEST(Base64, PartEncoderLinesRoundTrip) {
  std::mt19937 rng(7);
  for (std::size_t size : {0u, 1u, 2u, 56u, 57u, 58u, 114u, 1000u}) {
    SCOPED_TRACE(size);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    MemoryBuffer in(data);
    MemoryBuffer out;
    AttachmentRecord record;
    record.source = in.Source().Clone();
    ASSERT_EQ(out.Source().Open(kOpenWrite), 0);
    ASSERT_EQ(EncodeBase64Part(&record, out.Source()), 0);
    std::string text = out.Text();
    std::string body = text.substr(text.find("\r\n\r\n") + 4);
    std::size_t lines = 0;
    for (std::size_t at = 0; at < body.size(); ++lines) {
      std::size_t end = body.find("\r\n", at);
      ASSERT_NE(end, std::string::npos);
      EXPECT_LE(end - at, 76u);
      at = end + 2;
    }
    EXPECT_EQ(lines, (size + 56) / 57);
    EXPECT_EQ(Decode(body, 511), data);
  }
}

TEST(Base64, PartDecoderReadsOnlyItsRange) {
  MemoryBuffer message("xxxxQUJD\r\nRA==yyyy");
  ASSERT_EQ(message.Source().Open(kOpenRead), 0);
  MemoryBuffer dest;
  ASSERT_EQ(dest.Source().Open(kOpenWrite), 0);
  EXPECT_EQ(DecodeBase64Part(message.Source(), 4, 10, dest.Source()), 0);
  EXPECT_EQ(dest.Text(), "ABCD");
  MemoryBuffer tiny("", 2);
  ASSERT_EQ(tiny.Source().Open(kOpenWrite), 0);
  EXPECT_EQ(DecodeBase64Part(message.Source(), 4, 10, tiny.Source()), 82);
}

}  // namespace
}  // namespace tarnhold
