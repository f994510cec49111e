#include "transport/dot_stuffing.h"

#include <gtest/gtest.h>

#include <string>

namespace tarnhold {
namespace {

// Feeds `in` in pieces of `piece` bytes.
std::string StuffInPieces(std::string_view in, DataForm form, std::size_t piece) {
  DotStuffer stuffer(form);
  std::string out;
  for (std::size_t at = 0; at < in.size(); at += piece)
    stuffer.Transform(in.substr(at, piece), out);
  return out;
}

struct Case {
  std::string in;
  std::string want;
};

void CheckAllPieceSizes(const Case& c, DataForm form) {
  SCOPED_TRACE(c.in);
  EXPECT_EQ(DotStuff(c.in, form), c.want);
  for (std::size_t piece : {1u, 2u, 3u, 7u}) {
    SCOPED_TRACE(piece);
    EXPECT_EQ(StuffInPieces(c.in, form, piece), c.want);
  }
}

TEST(DotStuffing, TextDoublesLeadingDotsAndEndsLinesWithCrLf) {
  Case cases[] = {
      {"", ""},
      {"plain", "plain"},
      {".", ".."},
      {".first", "..first"},
      {"a\r\n.b\r\n", "a\r\n..b\r\n"},
      {"a\r\n.\r\nMAIL FROM:<x@y>\r\n", "a\r\n..\r\nMAIL FROM:<x@y>\r\n"},
      {"a.b\r\n x.y", "a.b\r\n x.y"},
      {"..two", "...two"},
      // Bare LF lines (a text file whose carriage returns were dropped).
      {"a\n.b\nc\n", "a\r\n..b\r\nc\r\n"},
      {"a\n.\n", "a\r\n..\r\n"},
      {"\n\n.", "\r\n\r\n.."},
      // A dot after a lone CR is doubled too: no receiver may read it as the end.
      {"a\r.b", "a\r..b"},
  };
  for (const Case& c : cases) CheckAllPieceSizes(c, DataForm::Text);
}

TEST(DotStuffing, FileKeepsItsBytesAndDoublesLeadingDots) {
  Case cases[] = {
      {".", ".."},
      {"begin 660 a\r\n.JK\r\nend\r\n", "begin 660 a\r\n..JK\r\nend\r\n"},
      {"a\n.b\n", "a\n..b\n"},
      {std::string("\0.\r.\r\n.", 7), std::string("\0.\r.\r\n..", 8)},
  };
  for (const Case& c : cases) CheckAllPieceSizes(c, DataForm::File);
}

TEST(DotStuffing, NoContentCanEndTheData) {
  // Whatever the content, the transformed bytes never hold a line that is a lone dot.
  const std::string hostile[] = {"x\r\n.\r\nQUIT\r\n", "x\n.\nQUIT\n", ".\r\n", "x\n.\r\n",
                                 "x\r\n.\n"};
  for (const std::string& in : hostile) {
    SCOPED_TRACE(in);
    for (DataForm form : {DataForm::Text, DataForm::File}) {
      std::string out = "\r\n" + DotStuff(in, form);
      EXPECT_EQ(out.find("\n.\r"), std::string::npos);
      EXPECT_EQ(out.find("\n.\n"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace tarnhold
