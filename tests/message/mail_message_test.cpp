#include "message/mail_message.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "message/buffer_source.h"
#include "message/file_sources.h"
#include "platform/unique_fd.h"
#include "tests/message/mail_test_util.h"
#include "tests/message/memory_buffer.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::Decoded;
using test::Info;
using test::MailFile;
using test::MemoryBuffer;
using test::ReadMail;
using test::TempRoot;

int LoadText(CMailMessage& m, const std::string& text) {
  MemoryBuffer buffer(text);
  return m.Load(buffer.Source());
}

TEST(MailMessage, FieldNameTable) {
  EXPECT_STREQ(CMailMessage::FieldName(0), "All Fields ");
  EXPECT_STREQ(CMailMessage::FieldName(1), "Message-Id:");
  EXPECT_STREQ(CMailMessage::FieldName(12), "References:");
  EXPECT_STREQ(CMailMessage::FieldName(13), "Custom");
  EXPECT_EQ(CMailMessage::FieldName(14), nullptr);
  EXPECT_EQ(CMailMessage::FieldName(-1), nullptr);
}

TEST(MailMessage, LoadClassifiesHeaderLines) {
  CMailMessage m;
  ASSERT_EQ(LoadText(m,
                     " early continuation\r\n"
                     "message-id: <1@x>\r\n"
                     "To: a@x\r\n"
                     "X-Custom: one\r\n"
                     "\ttwo\r\n"
                     "Received: from a\r\n"
                     "Received: from b\r\n"
                     "A-Very-Long-Field-Name-Beyond-29: v\r\n"
                     "no colon here\r\n"
                     "Subject:Hi\r\n"
                     "\r\n"
                     "body line\r\n"),
            0);
  EXPECT_STREQ(m.GetField(kFieldMessageId, 0), " <1@x>");
  EXPECT_STREQ(m.GetField(kFieldTo, 0), " a@x");
  EXPECT_STREQ(m.GetField(kFieldSubject, 0), "Hi");
  EXPECT_EQ(m.CountCustomFields(""), 3);  // before any field, the long name, no colon
  EXPECT_STREQ(m.GetCustomField("", 0), " early continuation");
  EXPECT_STREQ(m.GetCustomField("", 1), " v");
  EXPECT_STREQ(m.GetCustomField("", 2), "no colon here");
  EXPECT_EQ(m.CountCustomFields("x-custom:"), 2);
  EXPECT_STREQ(m.GetCustomField("X-CUSTOM:", 0), " one");
  EXPECT_STREQ(m.GetCustomField("X-CUSTOM:", 1), "\ttwo");
  EXPECT_EQ(m.CountCustomFields("Received:"), 2);
  EXPECT_STREQ(m.GetCustomField("Received:", 1), " from b");
  EXPECT_EQ(m.CountFields(kFieldAll), 10);
  EXPECT_STREQ(m.GetBody(), "body line\r\n");
}

TEST(MailMessage, FieldOperations) {
  CMailMessage m;
  EXPECT_EQ(m.AddField(nullptr, kFieldTo), 0);
  EXPECT_EQ(m.AddField("x", kFieldCustom, nullptr), 0);
  EXPECT_EQ(m.AddField("a@x", kFieldTo), 1);
  EXPECT_EQ(m.AddField("b@x", kFieldTo), 1);
  EXPECT_EQ(m.AddField("1", kFieldCustom, "X-A:"), 1);
  EXPECT_EQ(m.AddField("2", kFieldCustom, "x-a:"), 1);
  EXPECT_EQ(m.AddField("3", kFieldCustom, "X-B:"), 1);
  EXPECT_STREQ(m.GetField(kFieldAll, 2), "1");
  EXPECT_STREQ(m.GetCustomFieldName(2), "X-B:");
  EXPECT_EQ(m.GetCustomFieldName(3), nullptr);
  EXPECT_EQ(m.CountCustomFields(nullptr), 0);
  std::string text;
  EXPECT_EQ(m.GetFieldText(kFieldTo, &text, 7), 1);
  EXPECT_EQ(text, "a@xb@x");
  EXPECT_EQ(m.GetFieldText(kFieldTo, &text, 6), 0);
  EXPECT_EQ(m.GetFieldText(kFieldTo, nullptr, 100), 0);
  EXPECT_EQ(m.GetFieldText(kFieldTo, &text, 0), 0);
  EXPECT_EQ(m.RemoveFields(kFieldCustom, "X-a:"), 1);
  EXPECT_EQ(m.CountFields(kFieldCustom), 1);
  EXPECT_EQ(m.RemoveFields(kFieldTo), 1);
  EXPECT_EQ(m.CountFields(kFieldAll), 1);
  EXPECT_EQ(m.RemoveFields(kFieldAll), 1);
  EXPECT_EQ(m.GetField(kFieldAll, 0), nullptr);
}

TEST(MailMessage, BodyCapacity) {
  CMailMessage m;
  EXPECT_EQ(m.SetBody(std::string(32767, 'x').c_str()), 1);
  EXPECT_EQ(m.SetBody(std::string(32768, 'x').c_str()), 0);
  EXPECT_EQ(m.SetBody(nullptr), 0);
  EXPECT_EQ(std::string(m.GetBody()).size(), 32767u);
}

TEST(MailMessage, MixedWithPdf) {
  TempRoot root;
  CMailMessage m;
  CFileSource file(MailFile("mixed-pdf.eml"));
  ASSERT_EQ(m.Load(file), 0);
  EXPECT_STREQ(m.GetField(kFieldFrom, 0), " Alice Sender <alice@sender.test>");
  EXPECT_STREQ(m.GetBody(), "Hello Bob,\r\n\r\nthe report is attached.\r\n\r\nAlice\r\n");
  ASSERT_EQ(m.AttachmentCount(), 1);
  auto info = Info(m, 0);
  EXPECT_EQ(info.name, "report.pdf");  // named only in its Content-Disposition
  EXPECT_EQ(info.type, "application/pdf");
  EXPECT_EQ(info.encoding, "1");
  int rc = -5;
  EXPECT_EQ(Decoded(m, 0, root, &rc), test::ReportPdf());
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(m.DecodeAttachment(1, root / "x"), 38);
  EXPECT_EQ(m.DecodeAttachment(0, root / "no/such/folder/x"), 80);
}

TEST(MailMessage, AlternativeReplacedBySubParts) {
  CMailMessage m;
  CFileSource file(MailFile("alternative-pdf.eml"));
  ASSERT_EQ(m.Load(file), 0);
  EXPECT_STREQ(m.GetBody(), "Plain text of the report mail.\r\n");
  ASSERT_EQ(m.AttachmentCount(), 2);
  EXPECT_EQ(Info(m, 0).name, "report.pdf");  // top-level parts first
  EXPECT_EQ(Info(m, 1).name, "");            // then the alternative's HTML
  EXPECT_EQ(Info(m, 1).type, "text/html");
}

TEST(MailMessage, NestedMultipartStaysOnePart) {
  TempRoot root;
  CMailMessage m;
  CFileSource file(MailFile("nested-multipart.eml"));
  ASSERT_EQ(m.Load(file), 0);
  EXPECT_STREQ(m.GetBody(), "Outer text.\r\n");
  ASSERT_EQ(m.AttachmentCount(), 2);
  EXPECT_EQ(Info(m, 0).type, "multipart/mixed");
  EXPECT_EQ(Info(m, 0).encoding, "0");  // its sub-parts' encodings are not its own
  EXPECT_NE(Decoded(m, 0, root).find("filename=\"inner.txt\""), std::string::npos);
  EXPECT_EQ(Info(m, 1).name, "data.bin");
  EXPECT_EQ(Decoded(m, 1, root), std::string("\x00\x01"
                                             "binary\xff",
                                             9));
}

TEST(MailMessage, UuencodedMessage) {
  TempRoot root;
  CMailMessage m;
  CFileSource file(MailFile("uuencoded.eml"));
  ASSERT_EQ(m.Load(file), 0);
  EXPECT_STREQ(m.CurrentDecoder().GetName(), "UUEncode");
  EXPECT_STREQ(m.GetBody(), "Two files follow.\r\n\r\n");
  ASSERT_EQ(m.AttachmentCount(), 2);
  EXPECT_EQ(Info(m, 0).name, "notes.txt");
  std::string notes;
  for (int i = 0; i < 5; ++i) notes += "uuencoded notes\n";
  EXPECT_EQ(Decoded(m, 0, root), notes);
  EXPECT_EQ(Decoded(m, 1, root), std::string("\x00\x01\x02", 3));
}

TEST(MailMessage, BodyFallsBackToRawLines) {
  struct Case {
    const char* label;
    std::string text;
    std::string body;
    int attachments;
  } cases[] = {
      {"no MIME-Version", "Subject: x\r\n\r\nline one\r\nlast", "line one\r\nlast\r\n", 0},
      {"only text part has a name",
       "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"q\"\r\n\r\n--q\r\n"
       "Content-Type: text/plain; name=\"a.txt\"\r\n\r\nnamed\r\n--q--\r\n",
       "--q\r\nContent-Type: text/plain; name=\"a.txt\"\r\n\r\nnamed\r\n--q--\r\n", 1},
      {"single-part html", "MIME-Version: 1.0\r\nContent-Type: text/html\r\n\r\n<p>x</p>\r\n", "",
       1},
      {"unknown top-level type", "MIME-Version: 1.0\r\nContent-Type: foo/bar\r\n\r\nraw\r\n",
       "raw\r\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CMailMessage m;
    EXPECT_EQ(LoadText(m, c.text), 0);
    EXPECT_EQ(m.GetBody(), c.body);
    EXPECT_EQ(m.AttachmentCount(), c.attachments);
  }
}

// A header is read as RFC 5322 unfolds it, and a line longer than one read is one field.
TEST(MailMessage, UnfoldedFields) {
  CMailMessage m;
  const std::string long_subject = "Subject: " + std::string(1500, 'x') + " casino\r\n";
  ASSERT_EQ(LoadText(m,
                     "Subject: best\r\n casino\r\n"
                     "To: a@x,\r\n\tb@y\r\n"
                     "Received: from a\r\n by b\r\n"
                     "X-Other: v\r\n"
                     "Received: from c\r\n" +
                         long_subject + "\r\nbody\r\n"),
            0);
  EXPECT_EQ(m.GetUnfoldedField(kFieldSubject, 0), " best casino");
  EXPECT_EQ(m.GetUnfoldedField(kFieldTo, 0), " a@x,\tb@y");
  EXPECT_EQ(m.GetUnfoldedFields(kFieldCustom, "received:"),
            (std::vector<std::string>{" from a by b", " from c"}));
  EXPECT_EQ(m.GetUnfoldedField(kFieldSubject, 1), long_subject.substr(8, long_subject.size() - 10));
  EXPECT_EQ(m.GetUnfoldedField(kFieldSubject, 2), std::nullopt);
  EXPECT_STREQ(m.GetField(kFieldSubject, 1), " casino");  // the entries stay as they were
  EXPECT_EQ(m.CountCustomFields(""), 0);                  // no piece of the long line
  EXPECT_STREQ(m.GetBody(), "body\r\n");
}

// A single part is decoded by its transfer encoding; without a Content-Type it is text/plain.
TEST(MailMessage, SinglePartWithoutContentType) {
  const struct {
    const char* label;
    std::string text;
    std::string body;
  } cases[] = {
      {"no Content-Type, base64",
       "MIME-Version: 1.0\r\nContent-Transfer-Encoding: base64\r\n\r\nYmVzdCBjYXNpbm8=\r\n",
       "best casino"},
      {"Content-Type folded after its colon",
       "MIME-Version: 1.0\r\nContent-Type:\r\n text/plain\r\n"
       "Content-Transfer-Encoding: base64\r\n\r\nYmVzdCBjYXNpbm8=\r\n",
       "best casino"},
      {"decoy field before the type",
       "MIME-Version: 1.0\r\nX-Content-Type: text/html\r\nContent-Type: text/plain\r\n"
       "Content-Transfer-Encoding: quoted-printable\r\n\r\nbest=20casino\r\n",
       "best casino\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CMailMessage m;
    EXPECT_EQ(LoadText(m, c.text), 0);
    EXPECT_EQ(m.GetBody(), c.body);
  }
}

TEST(MailMessage, RawBodyStopsAtCapacity) {
  std::string text = "Subject: big\r\n\r\n";
  std::string line(98, 'x');
  for (int i = 0; i < 400; ++i) text += line + "\r\n";
  CMailMessage m;
  EXPECT_EQ(LoadText(m, text), 35);
  std::string body = m.GetBody();
  EXPECT_EQ(body.size() % 100, 0u);
  EXPECT_LT(body.size() + 100 + 3, CMailMessage::kBodyCapacity + 100);
  EXPECT_GE(body.size() + 100 + 3, CMailMessage::kBodyCapacity);
  EXPECT_STREQ(m.GetField(kFieldSubject, 0), " big");  // the header stays
}

TEST(MailMessage, LongTextPartLeavesTheRawBody) {
  std::string text = "MIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\n";
  for (int i = 0; i < 500; ++i) text += std::string(70, 'y') + "\r\n";
  CMailMessage m;
  EXPECT_EQ(LoadText(m, text), 35);  // extraction overflowed: raw lines instead
  EXPECT_EQ(std::string(m.GetBody()).substr(0, 72), std::string(70, 'y') + "\r\n");
  EXPECT_EQ(m.AttachmentCount(), 0);
}

TEST(MailMessage, LoadFailures) {
  CMailMessage m;
  CFileSource missing("/nonexistent/message");
  EXPECT_EQ(m.Load(missing), 73);
}

TEST(MailMessage, SameResultFromEverySourceKind) {
  TempRoot root;
  auto path = MailFile("alternative-pdf.eml");
  UniqueFd fd(::open(path.c_str(), O_RDONLY));
  MemoryBuffer memory(ReadMail("alternative-pdf.eml"));
  CFileSource small(path, 64), normal(path);
  CHandleSource handle(fd.Get());
  std::vector<CDataSource*> sources = {&small, &normal, &handle, &memory.Source()};
  std::string want;
  for (CDataSource* s : sources) {
    CMailMessage m;
    ASSERT_EQ(m.Load(*s), 0);
    std::string got = std::string(m.GetBody()) + "|" + std::to_string(m.AttachmentCount());
    for (int i = 0; i < m.AttachmentCount(); ++i)
      got += "|" + Info(m, i).name + Decoded(m, i, root);
    if (want.empty()) want = got;
    EXPECT_EQ(got, want);
  }
}

TEST(MailMessage, MalformedInputGivesSoundResults) {
  TempRoot root;
  struct Case {
    const char* file;
    int load;
    std::string body;
    int attachments;
  } cases[] = {
      {"no-closing-boundary.eml", 0, "the text", 1},
      {"boundary-missing.eml", 0, "--b1\r\nContent-Type: text/plain\r\n\r\ntext\r\n--b1--\r\n", 0},
      {"boundary-unquoted.eml", 0, "unquoted text", 1},
      {"base64-garbage.eml", 0, "body", 1},
      {"qp-equals-at-end.eml", 0, "caf\xc3\xa9 and then=", 0},
      {"uu-without-end.eml", 0, "text before\r\nbegin 644 cut.txt\r\n#0V%T\r\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    CMailMessage m;
    CFileSource file(MailFile(c.file));
    EXPECT_EQ(m.Load(file), c.load);
    EXPECT_EQ(m.GetBody(), c.body);
    EXPECT_EQ(m.AttachmentCount(), c.attachments);
  }
  CMailMessage cut;
  CFileSource cut_file(MailFile("no-closing-boundary.eml"));
  ASSERT_EQ(cut.Load(cut_file), 0);
  EXPECT_EQ(Info(cut, 0).name, "cut.exe");  // the unclosed last part is still seen
  EXPECT_EQ(Decoded(cut, 0, root).substr(0, 2), "MZ");
  CMailMessage unquoted;
  CFileSource unquoted_file(MailFile("boundary-unquoted.eml"));
  ASSERT_EQ(unquoted.Load(unquoted_file), 0);
  EXPECT_EQ(Info(unquoted, 0).type, "text/html");  // the comment with its "name=" is gone
  EXPECT_EQ(Info(unquoted, 0).name, "");
  CMailMessage garbage;
  CFileSource garbage_file(MailFile("base64-garbage.eml"));
  ASSERT_EQ(garbage.Load(garbage_file), 0);
  EXPECT_EQ(Decoded(garbage, 0, root), "ABCD");
}

TEST(MailMessage, HostileSizesStayBounded) {
  CMailMessage m;
  std::string huge_header = "Subject: " + std::string(3 * 1024 * 1024, 'h') + "\r\n";
  for (int i = 0; i < 2000; ++i) huge_header += "X-Field-" + std::to_string(i) + ": v\r\n";
  EXPECT_EQ(LoadText(m, huge_header + "\r\nbody\r\n"), 0);
  EXPECT_STREQ(m.GetBody(), "body\r\n");
  std::size_t stored = 0;
  for (int i = 0; m.GetField(kFieldAll, i); ++i) stored += std::strlen(m.GetField(kFieldAll, i));
  EXPECT_LE(stored, kMaxStoredHeaderBytes);

  std::string folded = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed;\r\n";
  for (int i = 0; i < 100000; ++i) folded += "\tx=y;\r\n";
  folded += "\tboundary=\"f\"\r\n\r\n--f\r\n\r\nt\r\n--f--\r\n";
  EXPECT_EQ(LoadText(m, folded), 0);

  std::mt19937 rng(3);
  for (int round = 0; round < 20; ++round) {
    std::string binary(5000 + round * 100, '\0');
    for (char& c : binary) c = static_cast<char>(rng());
    if (round % 2)
      binary = "MIME-Version: 1.0\r\nContent-Type: multipart/x; boundary=a\r\n\r\n" + binary;
    CMailMessage b;
    LoadText(b, binary);
    EXPECT_LE(std::strlen(b.GetBody()), CMailMessage::kBodyCapacity - 1);
  }
  CMailMessage empty;
  EXPECT_EQ(LoadText(empty, ""), 0);
  EXPECT_STREQ(empty.GetBody(), "");
  EXPECT_EQ(empty.AttachmentCount(), 0);
}

}  // namespace
}  // namespace tarnhold
