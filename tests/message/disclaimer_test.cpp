#include "message/disclaimer.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/locked_file.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::TempRoot;

const std::string kHeader = std::string("\x01\x02\x03\x04", 4) + std::string(8, '\0') +
                            std::string("\x02\0\0\0r\0\x02\0\0\0s\0", 12);

struct Disclaimed {
  int result;
  std::string text;  // the item after the header
};

Disclaimed Apply(bool html, const std::string& message,
                 const std::string& disclaimer = "-- \nSent safely.\n") {
  TempRoot root;
  auto item = root.Write("que/1", kHeader + message);
  auto file = root.Write("text/d.txt", disclaimer);
  int result = html ? AddHtmlDisclaimer(item, file) : AddTextDisclaimer(item, file);
  return {result, TempRoot::Read(item).substr(kHeader.size())};
}

const std::string kMultipart =
    "MIME-Version: 1.0\r\nContent-Type: multipart/alternative; boundary=\"bb\"\r\n\r\n"
    "--bb\r\nContent-Type: text/plain\r\n\r\nHello\r\n"
    "--bb\r\nContent-Type: text/html\r\n\r\n<html><body>Hi</body></html>\r\n--bb--\r\n.\r\n";

TEST(Disclaimer, TextGoesBeforeTheNextBoundary) {
  Disclaimed d = Apply(false, kMultipart);
  EXPECT_EQ(d.result, 1);
  std::string want = kMultipart;
  want.insert(want.find("Hello\r\n") + 7, "-- \r\nSent safely.\r\n\r\n");
  EXPECT_EQ(d.text, want);
}

TEST(Disclaimer, HtmlGoesBeforeTheClosingBodyTag) {
  Disclaimed d = Apply(true, kMultipart, "<p>Sent safely.</p>");
  EXPECT_EQ(d.result, 1);
  std::string want = kMultipart;
  want.insert(want.find("</body>"), "<p>Sent safely.</p>\r\n");
  EXPECT_EQ(d.text, want);
}

TEST(Disclaimer, HtmlPlacesAndRefusals) {
  struct Case {
    const char* label;
    std::string message;
    int want;
    const char* before;  // the disclaimer must stand right before this text
  } cases[] = {
      {"upper-case tag first",
       "boundary=\"q\"\r\n\r\n--q\r\nContent-Type: text/html\r\n\r\n"
       "<BODY>x</BODY></body>\r\n--q--\r\n",
       1, "</BODY></body>"},
      {"html tag without body tag",
       "boundary=\"q\"\r\n\r\n--q\r\nContent-Type: text/html\r\n\r\n"
       "x</html>\r\n--q--\r\n",
       1, "</html>"},
      {"named html is an attachment",
       "boundary=\"q\"\r\n\r\n--q\r\nContent-Type: text/html;\r\n"
       " name=\"page.htm\"\r\n\r\n</body>\r\n--q--\r\n",
       0, nullptr},
      {"single part", "Content-Type: text/html\r\n\r\n<body>x</body>\r\n.\r\n", 0, nullptr},
      {"no tag",
       "boundary=\"q\"\r\n\r\n--q\r\nContent-Type: text/html\r\n\r\nPGh0bWw+\r\n--q--\r\n", 0,
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Disclaimed d = Apply(true, c.message, "DISC");
    EXPECT_EQ(d.result, c.want);
    if (c.before) {
      EXPECT_NE(d.text.find(std::string("DISC\r\n") + c.before), std::string::npos) << d.text;
    } else {
      EXPECT_EQ(d.text, c.message);
    }
  }
}

TEST(Disclaimer, SinglePartText) {
  Disclaimed d = Apply(false, "Subject: x\r\n\r\nBody line\r\n.\r\n", "\nDisclaimer\n");
  EXPECT_EQ(d.result, 1);
  EXPECT_EQ(d.text, "Subject: x\r\n\r\nBody line\r\nDisclaimer\r\n\r\n.\r\n");
  // Without the closing "." line nothing is overwritten: the disclaimer is added at the end.
  d = Apply(false, "Subject: x\r\n\r\nno dot line", "D");
  EXPECT_EQ(d.text, "Subject: x\r\n\r\nno dot line\r\nD\r\n");
}

TEST(Disclaimer, TextWithoutPlaceWritesNothing) {
  std::string message =
      "Content-Type: multipart/mixed; boundary=unquoted\r\n\r\n--unquoted\r\n"
      "Content-Type: text/html\r\n\r\nx\r\n--unquoted--\r\n.\r\n";
  Disclaimed d = Apply(false, message);
  EXPECT_EQ(d.result, 1);
  EXPECT_EQ(d.text, message);
}

TEST(Disclaimer, FileErrors) {
  TempRoot root;
  auto item = root.Write("que/1", kHeader + kMultipart);
  auto file = root.Write("d.txt", "D");
  EXPECT_EQ(AddTextDisclaimer(item, root / "missing.txt"), -1);
  EXPECT_EQ(AddHtmlDisclaimer(root / "que/2", file), -1);
  LockedFile holder;
  std::string error;
  ASSERT_EQ(holder.OpenLocked(item, Access::ReadWrite, error), LockResult::Locked);
  EXPECT_EQ(AddTextDisclaimer(item, file), -1);
  EXPECT_EQ(AddHtmlDisclaimer(item, file), -1);
}

}  // namespace
}  // namespace tarnhold
