#include "message/part_encoders.h"

#include <gtest/gtest.h>

#include <string>

#include "message/file_sources.h"
#include "tests/message/memory_buffer.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::MemoryBuffer;

// Encodes `data` as `encoding` with the given record fields; returns the result code and
// leaves the output in `out`.
struct Encoded {
  int rc;
  std::string text;
};

Encoded EncodeAs(int encoding, const std::string& data, const std::string& name = "",
                 const std::string& type = "", std::size_t capacity = 1 << 20,
                 const std::string& type_parameter = "") {
  MemoryBuffer in(data);
  MemoryBuffer out("", capacity);
  AttachmentRecord record;
  record.source = in.Source().Clone();
  record.name = name;
  record.content_type = type;
  record.type_parameter = type_parameter;
  EXPECT_EQ(out.Source().Open(kOpenWrite), 0);
  int rc = EncodePart(encoding, &record, out.Source());
  return {rc, out.Text()};
}

TEST(PartEncoders, HeaderLinesPerEncoding) {
  struct Case {
    int encoding;
    const char* name;
    const char* type;
    const char* want;
  } cases[] = {
      {kEncoding7Bit, "", "",
       "Content-Type: text/plain; charset=US-ASCII\r\n"
       "Content-Transfer-Encoding: 7BIT\r\n\r\nhi"},
      {kEncoding8Bit, "", "text/html",
       "Content-Type: text/html; charset=US-ASCII\r\n"
       "Content-Transfer-Encoding: 8BIT\r\n\r\nhi"},
      {kEncodingQuotedPrintable, "", "",
       "Content-Type: Text/Plain; charset=US-ASCII\r\n"
       "Content-Transfer-Encoding: Quoted-Printable\r\n\r\nhi"},
      {kEncodingBase64, "c:\\docs\\report.pdf", "",
       "Content-Type: Application/Octet-stream; name=\"report.pdf\"; type=Unknown\r\n"
       "Content-Transfer-Encoding: BASE64\r\n\r\naGk=\r\n"},
      {kEncodingBase64, "/var/x/a.txt", "text/plain",
       "Content-Type: text/plain; name=\"a.txt\"; type=Unknown\r\n"
       "Content-Transfer-Encoding: BASE64\r\n\r\naGk=\r\n"},
      {kEncodingBinary, "b.bin", "",
       "Content-Type: Application/Octet-stream; name=\"b.bin\"; "
       "type=Unknown\r\nContent-Transfer-Encoding: BINARY\r\n\r\nhi"},
      {kEncodingMultipart, "x", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    Encoded e = EncodeAs(c.encoding, "hi", c.name, c.type);
    EXPECT_EQ(e.rc, 0);
    EXPECT_EQ(e.text, c.want);
  }
}

TEST(PartEncoders, ExtraHeaderLinesAndBinaryFieldLimits) {
  MemoryBuffer in("z");
  MemoryBuffer out;
  AttachmentRecord record;
  record.source = in.Source().Clone();
  record.name = "n";
  record.content_type = std::string(120, 't');
  record.type_parameter = std::string(120, 'p');
  record.extra_headers = std::make_unique<CTextList>();
  record.extra_headers->Add("X-One: 1");
  record.extra_headers->Add("X-Two: 2");
  ASSERT_EQ(out.Source().Open(kOpenWrite), 0);
  ASSERT_EQ(EncodePart(kEncodingBinary, &record, out.Source()), 0);
  EXPECT_EQ(out.Text(), "Content-Type: " + std::string(99, 't') +
                            "; name=\"n\"; type=" + std::string(99, 'p') +
                            "\r\nContent-Transfer-Encoding: BINARY\r\nX-One: 1\r\nX-Two: 2\r\n"
                            "\r\nz");
}

TEST(PartEncoders, SevenBitChecks) {
  std::string line996(996, 'a'), line997(997, 'a');
  struct Case {
    const char* label;
    int encoding;
    std::string data;
    int want;
  } cases[] = {
      {"nul", kEncoding7Bit, std::string("ab\0cd", 5), 83},
      {"nul allowed in 8bit", kEncoding8Bit, std::string("ab\0cd", 5), 0},
      {"1000 characters", kEncoding7Bit, std::string(1000, 'x'), 84},
      {"996 first line", kEncoding7Bit, line996 + "\r\nok", 0},
      {"997 first line", kEncoding7Bit, line997, 84},
      {"995 after a line end", kEncoding7Bit, "a\r\n" + std::string(995, 'b'), 0},
      {"996 after a line end", kEncoding7Bit, "a\r\n" + line996, 84},
      {"997 in 8bit", kEncoding8Bit, line997 + "\r\n", 0},
      {"998 in 8bit", kEncoding8Bit, std::string(998, 'x'), 84},
      // The CR is the last byte of the first 997-byte block, its LF the first of the next.
      {"cr lf across blocks", kEncoding7Bit, line996 + "\r\n" + std::string(900, 'c'), 0},
      {"bare cr counts", kEncoding7Bit, std::string(500, 'x') + "\r" + std::string(500, 'y'), 84},
      {"high bytes pass", kEncoding7Bit, std::string(10, '\xe9'), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(EncodeAs(c.encoding, c.data).rc, c.want);
  }
}

TEST(PartEncoders, RejectedBlockIsNotWritten) {
  // Block one (997 bytes) is fine; block two holds the NUL and must not appear.
  std::string data = std::string(990, 'a') + "\r\n" + std::string(5, 'b') + std::string("cc\0d", 4);
  Encoded e = EncodeAs(kEncoding7Bit, data);
  EXPECT_EQ(e.rc, 83);
  EXPECT_EQ(e.text.substr(e.text.find("\r\n\r\n") + 4), data.substr(0, 997));
}

TEST(PartEncoders, FailuresReported) {
  MemoryBuffer out;
  ASSERT_EQ(out.Source().Open(kOpenWrite), 0);
  EXPECT_EQ(EncodePart(kEncodingBase64, nullptr, out.Source()), 99);
  AttachmentRecord no_file;
  no_file.source = std::make_unique<CFileSource>("/nonexistent/file");
  for (int enc : {0, 1, 2, 3, 4}) {
    SCOPED_TRACE(enc);
    EXPECT_EQ(EncodePart(enc, &no_file, out.Source()), 80);
    EXPECT_EQ(EncodeAs(enc, std::string(3000, 'x'), "n", "", 60).rc, 82);
  }
  EXPECT_EQ(EncodeAs(kEncodingBinHex40, "x").rc, -1);
}

TEST(PartDecoders, RawCopyAndBinHex) {
  MemoryBuffer message("head" + std::string(2000, 'r') + "tail");
  ASSERT_EQ(message.Source().Open(kOpenRead), 0);
  for (int enc : {kEncoding7Bit, kEncoding8Bit, kEncodingBinary, kEncodingMultipart}) {
    MemoryBuffer dest;
    ASSERT_EQ(dest.Source().Open(kOpenWrite), 0);
    EXPECT_EQ(DecodePart(enc, message.Source(), 4, 2000, dest.Source()), 0);
    EXPECT_EQ(dest.Text(), std::string(2000, 'r'));
  }
  MemoryBuffer small("", 100);
  ASSERT_EQ(small.Source().Open(kOpenWrite), 0);
  EXPECT_EQ(DecodePart(kEncoding7Bit, message.Source(), 4, 2000, small.Source()), 82);
  EXPECT_EQ(DecodePart(kEncodingBinHex40, message.Source(), 4, 2000, small.Source()), -1);
  MemoryBuffer past;
  ASSERT_EQ(past.Source().Open(kOpenWrite), 0);  // a length past the end stops at the end
  EXPECT_EQ(DecodePart(kEncoding7Bit, message.Source(), 2000, 100000, past.Source()), 0);
  EXPECT_EQ(past.Text().size(), 8u);
}

}  // namespace
}  // namespace tarnhold
