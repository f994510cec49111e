#include "message/uuencode.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/message/memory_buffer.h"

namespace tarnhold {
namespace {

using test::MemoryBuffer;

std::string EncodeLine(const std::string& data) {
  std::string out;
  AppendUuLine(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out);
  return out;
}

TEST(Uuencode, KnownLines) {
  EXPECT_EQ(EncodeLine("Cat"), "#0V%T\r\n");
  EXPECT_EQ(EncodeLine(std::string(3, '\0')), "#````\r\n");
  EXPECT_EQ(EncodeLine("A"), "!00``\r\n");
  EXPECT_EQ(EncodeLine(std::string(45, 'x')).substr(0, 1), "M");
}

TEST(Uuencode, LinesRoundTrip) {
  for (std::size_t size = 1; size <= 45; ++size) {
    SCOPED_TRACE(size);
    std::string data;
    for (std::size_t i = 0; i < size; ++i) data += static_cast<char>(i * 37 + size);
    std::string out;
    EXPECT_TRUE(DecodeUuLine(EncodeLine(data), out));
    EXPECT_EQ(out, data);
  }
}

TEST(Uuencode, DecodeEndsAndShortLines) {
  std::string out;
  EXPECT_FALSE(DecodeUuLine("`\r\n", out));
  EXPECT_FALSE(DecodeUuLine(" ", out));
  EXPECT_FALSE(DecodeUuLine("", out));
  EXPECT_TRUE(DecodeUuLine("#0V", out));  // stripped tail: missing characters count as 0
  EXPECT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0], 'C');
}

TEST(Uuencode, Block) {
  MemoryBuffer in("Cat");
  MemoryBuffer out;
  ASSERT_EQ(in.Source().Open(kOpenRead), 0);
  ASSERT_EQ(out.Source().Open(kOpenWrite), 0);
  EXPECT_EQ(WriteUuBlock(in.Source(), "pet.txt", out.Source()), 0);
  EXPECT_EQ(out.Text(), "begin 660 pet.txt\r\n#0V%T\r\nend\r\n");
}

}  // namespace
}  // namespace tarnhold
