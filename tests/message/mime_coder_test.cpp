#include "message/mime_coder.h"

#include <gtest/gtest.h>

#include <string>

#include "message/base64.h"
#include "message/file_sources.h"
#include "message/mail_message.h"
#include "message/mime_boundary.h"
#include "tests/message/mail_test_util.h"
#include "tests/message/memory_buffer.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::Decoded;
using test::Info;
using test::MailFile;
using test::MemoryBuffer;
using test::TempRoot;

std::string BoundaryOf(const char* content_type_line) {
  std::string line = content_type_line;
  std::size_t at = line.find("boundary=\"") + 10;
  return line.substr(at, line.find('"', at) - at);
}

TEST(MimeBoundary, LengthsAndForm) {
  std::string b = "unchanged";
  EXPECT_EQ(MakeBoundary(b, 19), -1);
  EXPECT_EQ(MakeBoundary(b, 71), -2);
  EXPECT_EQ(b, "unchanged");
  ASSERT_EQ(MakeBoundary(b, 30), 0);
  EXPECT_EQ(b.size(), 29u);
  EXPECT_EQ(b.substr(0, 10),
            "Mark=_" + std::to_string(2000 + (b[8] - '0') * 10 + (b[9] - '0')).substr(0, 4));
  EXPECT_EQ(
      b.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+=_"),
      std::string::npos);
  ASSERT_EQ(MakeBoundary(b, 20), 0);
  EXPECT_EQ(b.size(), 19u);
}

TEST(MimeCoder, GlobalHeadersBeforeAndAfterEncode) {
  CMimeCoder coder;
  ASSERT_EQ(coder.GlobalHeaderCount(), 2);
  EXPECT_STREQ(coder.GlobalHeader(0), "MIME-Version: 1.0\r\n");
  std::string first = coder.GlobalHeader(1);
  EXPECT_EQ(first, "Content-Type: Multipart/Mixed;\r\n\tboundary=\"" + coder.Boundary() + "\"\r\n");
  EXPECT_EQ(coder.GlobalHeader(2), nullptr);

  MemoryBuffer body("text"), attachment("data"), out;
  ASSERT_EQ(coder.AddAttachment(attachment.Source(), "a.bin", nullptr), 0);
  std::string used = coder.Boundary();
  ASSERT_EQ(coder.Encode(body.Source(), out.Source(), false), 0);
  EXPECT_NE(out.Text().find("--" + used + "--"), std::string::npos);
  // After the encode the headers describe the next message, on one line.
  EXPECT_EQ(std::string(coder.GlobalHeader(1)),
            "Content-Type: Multipart/Mixed; boundary=\"" + coder.Boundary() + "\"\r\n");
}

TEST(MimeCoder, EncodeWritesBodyThenAttachmentsInReverseOrder) {
  CMailMessage m;
  MemoryBuffer body("Hello"), a("AAA"), b("BBB"), out;
  CTextList qp;
  qp.Add("2");
  qp.Add("text/plain");
  ASSERT_EQ(m.AddAttachment(a.Source(), "c:\\dir\\a.txt"), 0);
  ASSERT_EQ(m.AddAttachment(b.Source(), "b.txt", &qp), 0);
  std::string boundary = BoundaryOf(m.GlobalHeader(1));
  ASSERT_EQ(m.Encode(body.Source(), out.Source()), 0);
  const std::string line = "\r\n--" + boundary + "\r\n";
  EXPECT_EQ(out.Text(),
            "This is a multi-part message in MIME format.\r\n" + line +
                "Content-Type: text/plain; name=\"\"; type=Unknown\r\n"
                "Content-Transfer-Encoding: BASE64\r\n\r\nSGVsbG8=\r\n" +
                line +
                "Content-Type: text/plain; charset=US-ASCII\r\n"
                "Content-Transfer-Encoding: Quoted-Printable\r\n\r\nBBB" +
                line +
                "Content-Type: Application/Octet-stream; name=\"a.txt\"; type=Unknown\r\n"
                "Content-Transfer-Encoding: BASE64\r\n\r\nQUFB\r\n"
                "\r\n--" +
                boundary + "--\r\n");
}

TEST(MimeCoder, EncodeWithoutAttachmentsCopiesTheBody) {
  CMimeCoder coder;
  MemoryBuffer body(std::string(2000, 'z')), out("old text", 4096);
  std::string boundary = coder.Boundary();
  ASSERT_EQ(coder.Encode(body.Source(), out.Source(), true), 0);
  EXPECT_EQ(out.Text(), "old text" + std::string(2000, 'z'));
  EXPECT_EQ(coder.Boundary(), boundary);  // kept: nothing multipart was written
}

TEST(MimeCoder, EncodeFailures) {
  CMimeCoder coder;
  MemoryBuffer body("text"), big(std::string(5000, 'q')), small("", 300);
  TempRoot root;
  CFileSource missing(root / "missing");
  EXPECT_EQ(coder.Encode(missing, small.Source(), false), 80);
  CFileSource no_folder(root / "no/such/out");
  EXPECT_EQ(coder.Encode(body.Source(), no_folder, false), 80);
  EXPECT_EQ(coder.AddAttachment(missing, "x", nullptr), 80);
  ASSERT_EQ(coder.AddAttachment(big.Source(), "big", nullptr), 0);
  EXPECT_EQ(coder.Encode(body.Source(), small.Source(), false), 82);
  CMimeCoder binhex;
  CTextList params;
  params.Add("5");
  ASSERT_EQ(binhex.AddAttachment(big.Source(), "h", &params), 0);
  MemoryBuffer out;
  EXPECT_EQ(binhex.Encode(body.Source(), out.Source(), false), -1);
}

TEST(MimeCoder, AddAttachmentParametersAndPartHeaders) {
  CMimeCoder coder;
  MemoryBuffer data("0123456789");
  EXPECT_EQ(coder.AddPartHeader("X-Early: 1"), -1);
  struct Case {
    const char* encoding;
    int want;
  } cases[] = {{"", 1}, {"0", 0}, {"4", 4}, {"6", 6}, {"7", 1}, {"-1", 1}, {"abc", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.encoding);
    CTextList params;
    params.Add(c.encoding);
    params.Add("image/png");
    ASSERT_EQ(coder.AddAttachment(data.Source(), "n", &params), 0);
    EXPECT_EQ(coder.Record(0)->encoding, c.want);
    EXPECT_EQ(coder.Record(0)->content_type, "image/png");
    EXPECT_EQ(coder.Record(0)->size, 10);
  }
  EXPECT_EQ(coder.AddPartHeader("X-Late: 2"), 0);
  ASSERT_TRUE(coder.Record(0)->extra_headers);
  EXPECT_STREQ(coder.Record(0)->extra_headers->Get(0), "X-Late: 2");
  EXPECT_EQ(coder.AttachmentSize(-1), 70);
  CTextList params;
  params.Add("leftover");
  std::string name, type;
  EXPECT_EQ(coder.AttachmentInfo(0, &name, 255, &type, 3, &params), 0);
  EXPECT_EQ(type, "im");
  EXPECT_EQ(params.Count(), 1u);
  EXPECT_STREQ(params.Get(0), "0");
  EXPECT_EQ(coder.AttachmentInfo(7, &name, 255, &type, 255, &params), 1);
  CMimeCoder empty;
  MemoryBuffer out;
  EXPECT_EQ(empty.DecodeAttachment(0, out.Source(), false), 80);
}

TEST(MimeCoder, SizesOfParsedParts) {
  CMailMessage m;
  CFileSource file(MailFile("mixed-pdf.eml"));
  ASSERT_EQ(m.Load(file), 0);
  auto& coder = static_cast<CMimeCoder&>(m.CurrentDecoder());
  std::int64_t pdf = coder.Record(0)->data_length * 3 / 4;
  EXPECT_EQ(m.AttachmentSize(0), pdf);
  EXPECT_EQ(m.AttachmentSize(-1), pdf);
  EXPECT_EQ(m.AttachmentSize(5), pdf);
  EXPECT_GE(pdf, static_cast<std::int64_t>(test::ReportPdf().size()));
}

TEST(MimeCoder, ParsedPartsAreCopiedUnchanged) {
  TempRoot root;
  CMailMessage m;
  CFileSource file(MailFile("alternative-pdf.eml"));
  ASSERT_EQ(m.Load(file), 0);
  ASSERT_EQ(m.AttachmentCount(), 2);
  MemoryBuffer body("new body"), out;
  ASSERT_EQ(m.CurrentDecoder().Encode(body.Source(), out.Source(), false), 0);
  std::string original = test::ReadMail("alternative-pdf.eml");
  std::string text = out.Text();
  // Each parsed part appears with its own header lines, byte for byte.
  std::size_t pdf_header = original.find("Content-Type: application/pdf");
  std::size_t pdf_end = original.find("\r\n--", pdf_header);
  EXPECT_NE(text.find(original.substr(pdf_header, pdf_end - pdf_header)), std::string::npos);
  std::size_t html_header = original.find("Content-Type: text/html");
  std::size_t html_end = original.find("\r\n--", html_header);
  EXPECT_NE(text.find(original.substr(html_header, html_end - html_header)), std::string::npos);

  // And the result parses back to the same parts.
  std::string mail = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" +
                     text.substr(text.find("--") + 2, 29) + "\"\r\n\r\n" + text;
  MemoryBuffer again_source(mail);
  CMailMessage again;
  ASSERT_EQ(again.Load(again_source.Source()), 0);
  EXPECT_STREQ(again.GetBody(), "new body");
  ASSERT_EQ(again.AttachmentCount(), 2);
  EXPECT_EQ(Info(again, 0).name, "report.pdf");  // written in list order
  EXPECT_TRUE(Decoded(again, 0, root) == test::ReportPdf());
}

TEST(MimeCoder, ContentTypeHeadersOfParts) {
  std::string mail =
      "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"k\"\r\n\r\n"
      "--k\r\nContent-Type: application/x-thing;\r\n name=\"my (odd) file.txt\";\r\n"
      "\tcharset=latin1 (the charset); TYPE=\"t\"\r\nContent-Transfer-Encoding: "
      "QUOTED-PRINTABLE\r\n"
      "\r\nx=41\r\n"
      "--k\r\ncontent-type: text/plain\r\n\r\nThe text mentions Content-Transfer-Encoding: "
      "base64\r\n"
      "--k\r\n\r\nno header at all\r\n"
      "--k\r\nContent-Transfer-Encoding:base64\r\nContent-Disposition: attachment;\r\n"
      " filename=\"only-here.bin\"\r\n\r\nQUJD\r\n--k--\r\nepilogue\r\n--k\r\nignored\r\n";
  MemoryBuffer source(mail);
  CMimeCoder coder;
  ASSERT_EQ(source.Source().Open(kOpenRead), 0);
  ASSERT_EQ(coder.Parse(source.Source()), 0);
  ASSERT_EQ(coder.AttachmentCount(), 4);
  const AttachmentRecord* r = coder.Record(0);
  EXPECT_EQ(r->content_type, "application/x-thing");
  EXPECT_EQ(r->name, "my (odd) file.txt");  // a parenthesis inside quotes is no comment
  EXPECT_EQ(r->charset, "latin1");
  EXPECT_EQ(r->type_parameter, "t");
  EXPECT_EQ(r->encoding, kEncodingQuotedPrintable);
  EXPECT_EQ(coder.Record(1)->encoding, kEncoding7Bit);  // a field quoted in the data is data
  EXPECT_EQ(coder.Record(2)->content_type, "Text/Plain");
  EXPECT_EQ(coder.Record(2)->charset, "US-ASCII");
  EXPECT_EQ(coder.Record(3)->name, "only-here.bin");
  EXPECT_EQ(coder.Record(3)->encoding, kEncodingBase64);
  MemoryBuffer text;
  EXPECT_EQ(coder.ExtractText(text.Source(), false), 0);
  EXPECT_EQ(text.Text(), "The text mentions Content-Transfer-Encoding: base64");
  EXPECT_EQ(coder.AttachmentCount(), 3);
}

TEST(MimeCoder, ParseRefusals) {
  struct Case {
    const char* label;
    std::string mail;
    int want;
  } cases[] = {
      {"no MIME-Version", "Content-Type: text/plain\r\n\r\nx", 1},
      {"MIME-Version only in the body", "Subject: x\r\n\r\nMIME-Version: 1.0\r\n", 1},
      {"no header end", "MIME-Version: 1.0\r\nContent-Type: text/plain\r\n", 1},
      {"no content type: text/plain", "MIME-Version: 1.0\r\n\r\nx", 0},
      {"content type without subtype", "MIME-Version: 1.0\r\nContent-Type: text\r\n\r\nx", 1},
      {"multipart without boundary", "MIME-Version: 1.0\r\nContent-Type: multipart/mixed\r\n\r\n",
       1},
      {"empty boundary",
       "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"\"\r\n\r\n", 1},
      {"message class", "mime-version: 1.0\r\nContent-Type: message/rfc822\r\n\r\nx", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    MemoryBuffer source(c.mail);
    ASSERT_EQ(source.Source().Open(kOpenRead), 0);
    CMimeCoder coder;
    EXPECT_EQ(coder.Parse(source.Source()), c.want);
  }
  CMimeCoder coder;
  TempRoot root;
  CFileSource missing(root / "missing");
  EXPECT_EQ(coder.Parse(missing), 80);
}

TEST(MimeCoder, PartCountIsBounded) {
  std::string mail = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=p\r\n\r\n";
  for (int i = 0; i < kMaxMimeParts + 50; ++i) mail += "--p\r\n\r\n" + std::to_string(i) + "\r\n";
  mail += "--p--\r\n";
  MemoryBuffer source(mail);
  ASSERT_EQ(source.Source().Open(kOpenRead), 0);
  CMimeCoder coder;
  ASSERT_EQ(coder.Parse(source.Source()), 0);
  ASSERT_EQ(coder.AttachmentCount(), kMaxMimeParts);
  // The last record holds everything after the bound, so nothing goes unseen.
  MemoryBuffer last;
  ASSERT_EQ(coder.DecodeAttachment(kMaxMimeParts - 1, last.Source(), false), 0);
  EXPECT_NE(last.Text().find(std::to_string(kMaxMimeParts + 49)), std::string::npos);
}

}  // namespace
}  // namespace tarnhold
