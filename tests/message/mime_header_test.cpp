#include "message/mime_header.h"

#include <gtest/gtest.h>

#include "tests/message/memory_buffer.h"

namespace tarnhold {
namespace {

using test::MemoryBuffer;

TEST(MimeHeader, ContentClasses) {
  struct Case {
    const char* type;
    int want;
  } cases[] = {{"text", 0},    {"AUDIO", 2},     {"Video", 3}, {"application", 4},
               {"message", 5}, {"multipart", 6}, {"image", 9}, {"", 9}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(ContentClassOf(c.type), c.want);
  }
  std::string main;
  EXPECT_TRUE(TopLevelMainType("Content-Type:  multipart /mixed;\r\n", main));
  EXPECT_EQ(main, "multipart");
  EXPECT_FALSE(TopLevelMainType("Content-Type: text\r\n", main));
}

TEST(MimeHeader, FieldParameters) {
  struct Case {
    const char* text;
    const char* value;
    const char* name;
    const char* charset;
  } cases[] = {
      {"Content-Type: text/plain; charset=us-ascii", "text/plain", "", "us-ascii"},
      {"Content-Type:text/plain;charset=\"utf-8\";name=a.txt", "text/plain", "a.txt", "utf-8"},
      {"Content-Type: a/b; NAME = \"x;y.pdf\" ; Charset= c ", "a/b", "x;y.pdf", "c"},
      {"Content-Type: a/b; name=\"c:\\dir\\x.txt\"", "a/b", "c:\\dir\\x.txt", ""},
      {"Content-Type: a/b; name", "a/b", "", ""},
      {"Content-Type: a/b; filename=f; xname=no", "a/b", "", ""},
      {"Content-Type", "", "", ""},
      {"Content-Type:", "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    MimeField f = ParseMimeField(c.text);
    EXPECT_EQ(f.value, c.value);
    EXPECT_EQ(f.name, c.name);
    EXPECT_EQ(f.charset, c.charset);
  }
  EXPECT_EQ(ParseMimeField("Content-Disposition: attachment; filename=\"r.pdf\"").filename,
            "r.pdf");
}

TEST(MimeHeader, Comments) {
  EXPECT_EQ(RemoveComments("a (b) c"), "a  c");
  EXPECT_EQ(RemoveComments("a (b (nested) b) c"), "a  c");
  EXPECT_EQ(RemoveComments("\"in (quotes)\" (out)"), "\"in (quotes)\" ");
  EXPECT_EQ(RemoveComments("\\(not a comment\\)"), "\\(not a comment\\)");
  EXPECT_EQ(RemoveComments("unclosed (comment"), "unclosed ");
}

TEST(MimeHeader, UnfoldedFieldsAreBounded) {
  MemoryBuffer source("Content-Type: a/b;\r\n name=x;\r\n\tcharset=y\r\nNext: z\r\n");
  ASSERT_EQ(source.Source().Open(kOpenRead), 0);
  EXPECT_EQ(ReadUnfoldedField(source.Source(), 0), "Content-Type: a/b;name=x;charset=y");
  std::string line;
  source.Source().ReadLine(line, 100);
  EXPECT_EQ(line, "Next: z\r\n");
  std::string huge = "Content-Type: a/b" + std::string(200000, 'x') + "\r\n";
  for (int i = 0; i < 1000; ++i) huge += " more\r\n";
  MemoryBuffer big(huge);
  ASSERT_EQ(big.Source().Open(kOpenRead), 0);
  EXPECT_EQ(ReadUnfoldedField(big.Source(), 0).size(), kMaxFieldBytes);
  EXPECT_EQ(ReadUnfoldedField(big.Source(), 10000000), "");
}

TEST(MimeHeader, Boundaries) {
  struct Case {
    const char* text;
    const char* want;
  } cases[] = {
      {"boundary=\"abc\"\r\n", "abc"},
      {"boundary = \"a b=c\" ; x\r\n", "a b=c"},
      {"boundary=plain; x", "plain"},
      {"Boundary=plain  \r\n", "plain"},
      {"boundary=\"unclosed\r\n", "unclosed"},
      {"boundary\r\n=x", ""},
      {"boundary=\"\"\r\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(BoundaryFromText(c.text), c.want);
  }
}

TEST(MimeHeader, TransferEncodings) {
  struct Case {
    const char* text;
    int want;
  } cases[] = {
      {"Content-Transfer-Encoding: base64\r\n", 1},
      {"Content-Transfer-Encoding: Quoted-Printable\r\n", 2},
      {"Content-Transfer-Encoding: 8bit\r\n", 3},
      {"Content-Transfer-Encoding: binary\r\n", 4},
      {"Content-Transfer-Encoding: BinHex40\r\n", 5},
      {"Content-Transfer-Encoding: multipart\r\n", 6},
      {"Content-Transfer-Encoding: 7bit\r\n", 0},
      {"Content-Transfer-Encoding: x-uue\r\n", 0},
      {"Content-Transfer-Encoding:base64\r\n", 1},
      {"Content-Transfer-Encoding:\tbase64\r\n", 1},
      {"Content-Transfer-Encoding:", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(EncodingFromText(c.text), c.want);
  }
}

}  // namespace
}  // namespace tarnhold
