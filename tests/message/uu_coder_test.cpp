#include "message/uu_coder.h"

#include <gtest/gtest.h>

#include <string>

#include "message/mail_message.h"
#include "tests/message/mail_test_util.h"
#include "tests/message/memory_buffer.h"

namespace tarnhold {
namespace {

using test::MemoryBuffer;

int ParseText(CUuCoder& coder, MemoryBuffer& source) {
  EXPECT_EQ(source.Source().Open(kOpenRead), 0);
  return coder.Parse(source.Source());
}

TEST(UuCoder, ModeDecidesRecognition) {
  const std::string x98(98, 'x');
  std::string lines;  // more than one block of the reader
  for (int i = 0; i < 12000; ++i) lines += "line\r\n";
  struct Case {
    std::string text;
    int want;
  } cases[] = {
      // A long line is looked at in pieces of 99 characters: a begin line can start a piece.
      {"S: x\r\n\r\n" + x98 + "xbegin 644 a\r\n#0V%T\r\nend\r\n", 0},
      {"S: x\r\n\r\n" + x98 + "begin 644 a\r\n#0V%T\r\nend\r\n", 1},
      {"S: x\r\n\r\n" + lines + "begin 644 a\r\n#0V%T\r\nend\r\n", 0},
      {"S: x\r\n\r\nbegin 644 a.txt\r\n#0V%T\r\nend\r\n", 0},
      {"S: x\r\n\r\nbegin 0600 a.txt\r\n#0V%T\r\nend\r\n", 0},
      {"S: x\r\n\r\nbegin 755 a.txt\r\n#0V%T\r\nend\r\n", 1},
      {"S: x\r\n\r\nbegin now\r\nbegin 644 a\r\n#0V%T\r\nend\r\n", 1},  // the first decides
      {"S: x\r\n\r\nno blocks\r\n", 1},
      {"S: x\r\nbegin 644 a\r\n#0V%T\r\nend\r\n", 1},  // no blank line ends the header
      {"S: x\r\n\r\nbegin 644 a\r\n#0V%T\r\n", 1},     // no "end"
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 120));
    MemoryBuffer source(c.text);
    CUuCoder coder;
    EXPECT_EQ(ParseText(coder, source), c.want);
  }
}

TEST(UuCoder, EveryBeginStartsABlock) {
  MemoryBuffer source(
      "Subject: x\r\n\r\nHello\r\nBeginning of the files:\r\nbegin 644 pet.txt\r\n#0V%T\r\n`\r\n"
      "end\r\nbye\r\n");
  CUuCoder coder;
  ASSERT_EQ(ParseText(coder, source), 0);
  ASSERT_EQ(coder.AttachmentCount(), 2);
  std::string name;
  EXPECT_EQ(coder.AttachmentInfo(0, &name, 261, nullptr, 0, nullptr), 0);
  EXPECT_EQ(name, "");  // "Beginning" has no mode and no name
  EXPECT_EQ(coder.AttachmentInfo(1, &name, 261, nullptr, 0, nullptr), 0);
  EXPECT_EQ(name, "pet.txt");
  EXPECT_EQ(coder.AttachmentInfo(1, nullptr, 261, nullptr, 0, nullptr), 1);
  EXPECT_EQ(coder.AttachmentInfo(2, &name, 261, nullptr, 0, nullptr), 1);
  MemoryBuffer text;
  EXPECT_EQ(coder.ExtractText(text.Source(), false), 0);
  EXPECT_EQ(text.Text(), "Hello\r\n");  // up to the first "begin", in any case
  for (int i = 0; i < 2; ++i) {
    MemoryBuffer data;
    EXPECT_EQ(coder.DecodeAttachment(i, data.Source(), false), 0);
    EXPECT_EQ(data.Text(), "Cat");  // the pseudo-block decodes the next real one
  }
}

TEST(UuCoder, DecodeResults) {
  MemoryBuffer source("S: x\r\n\r\nbegin 644 a\r\n#0V%T\r\nend\r\nbegin 644 b\r\nM" +
                      std::string(60, 'A') + "\r\nXend\r\n");
  CUuCoder coder;
  ASSERT_EQ(ParseText(coder, source), 0);
  MemoryBuffer out;
  EXPECT_EQ(coder.DecodeAttachment(5, out.Source(), false), 38);
  EXPECT_EQ(coder.DecodeAttachment(-1, out.Source(), false), 38);
  MemoryBuffer small("", 10);
  EXPECT_EQ(coder.DecodeAttachment(1, small.Source(), false), 82);
  MemoryBuffer appended("Dog");
  EXPECT_EQ(coder.DecodeAttachment(0, appended.Source(), true), 0);
  EXPECT_EQ(appended.Text(), "DogCat");
  CUuCoder unparsed;
  EXPECT_EQ(unparsed.DecodeAttachment(0, out.Source(), false), 80);
  EXPECT_EQ(unparsed.ExtractText(out.Source(), false), 1);
}

TEST(UuCoder, DataEndingInsideABlockOrWithoutBegin) {
  // "Xend" satisfies the parser's search for "end", but is no end line for the decoder.
  MemoryBuffer cut("S: x\r\n\r\nbegin 644 a\r\n#0V%T\r\nXend\r\n");
  CUuCoder coder;
  ASSERT_EQ(ParseText(coder, cut), 0);
  MemoryBuffer out;
  EXPECT_EQ(coder.DecodeAttachment(0, out.Source(), false), 33);
  EXPECT_EQ(out.Text().substr(0, 3), "Cat");  // what was decoded stays
  MemoryBuffer no_begin("S: x\r\n\r\nbegin 644 a\r\n#0V%T\r\nend\r\nBEGIN\r\nend\r\n");
  CUuCoder second;
  ASSERT_EQ(ParseText(second, no_begin), 0);
  ASSERT_EQ(second.AttachmentCount(), 2);
  EXPECT_EQ(second.DecodeAttachment(1, out.Source(), false), 7);
}

TEST(UuCoder, EncodeBodyAndBlocks) {
  CUuCoder coder;
  MemoryBuffer body("Body text"), data("Cat"), out;
  ASSERT_EQ(coder.AddAttachment(data.Source(), "c:\\x\\pet.txt", nullptr), 0);
  ASSERT_EQ(coder.AddAttachment(data.Source(), "second", nullptr), 0);
  EXPECT_EQ(coder.AttachmentSize(-1), 6);
  ASSERT_EQ(coder.Encode(body.Source(), out.Source(), false), 0);
  EXPECT_EQ(out.Text(),
            "Body text\r\n\r\nbegin 660 pet.txt\r\n#0V%T\r\nend\r\nbegin 660 second\r\n#0V%T\r\n"
            "end\r\n");
  MemoryBuffer small("", 20);
  EXPECT_EQ(coder.Encode(body.Source(), small.Source(), false), 82);
}

TEST(UuCoder, ParsedBlocksAreCopiedUnchanged) {
  std::string text = "S: x\r\n\r\nintro\r\nbegin 644 pet.txt\r\n#0V%T\r\n`\r\nend\r\n";
  MemoryBuffer source(text);
  CUuCoder coder;
  ASSERT_EQ(ParseText(coder, source), 0);
  MemoryBuffer body("intro\r\n"), out;
  ASSERT_EQ(coder.Encode(body.Source(), out.Source(), false), 0);
  EXPECT_EQ(out.Text(), "intro\r\n\r\n\r\nbegin 644 pet.txt\r\n#0V%T\r\n`\r\nend\r\n");
}

TEST(UuCoder, BeginLineParsing) {
  int mode = 0;
  std::string name;
  EXPECT_TRUE(ParseBeginLine("begin 644 my file.txt\r\n", mode, name));
  EXPECT_EQ(mode, 0644);
  EXPECT_EQ(name, "my file.txt");
  EXPECT_TRUE(ParseBeginLine("begin 644 x", mode, name, 10));
  EXPECT_EQ(mode, 644);
  EXPECT_FALSE(ParseBeginLine("begin x", mode, name));
  EXPECT_FALSE(ParseBeginLine("Begin 644 x", mode, name));
  EXPECT_TRUE(ParseBeginLine("begin 99999999999999 x", mode, name, 10));  // bounded digits
}

TEST(UuCoder, MessageLoadWithUnendedBlockFallsBack) {
  CMailMessage m;
  MemoryBuffer source("Subject: x\r\n\r\ntext\r\nbegin 644 a\r\n#0V%T\r\n");
  EXPECT_EQ(m.Load(source.Source()), 0);
  EXPECT_FALSE(m.Decoding());
  EXPECT_STREQ(m.GetBody(), "text\r\nbegin 644 a\r\n#0V%T\r\n");
}

}  // namespace
}  // namespace tarnhold
