#include "message/gateway_message_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "message/base64.h"
#include "platform/locked_file.h"
#include "tests/message/mail_test_util.h"
#include "tests/message/zip_test_util.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

namespace fs = std::filesystem;
using test::MakeZip;
using test::ReadMail;
using test::TempRoot;

std::string Number(std::uint32_t v) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 255);
  return out;
}

std::string ItemHeader(const std::string& recipient, const std::string& sender) {
  return Number(1700000000) + Number(0) + Number(0) + Number(recipient.size() + 1) + recipient +
         '\0' + Number(sender.size() + 1) + sender + '\0';
}

// A multipart/mixed message with a text body and base64 parts (name, type, bytes).
struct Part {
  std::string name;
  std::string type;
  std::string data;
};

std::string MimeMessage(const std::vector<Part>& parts, const std::string& extra_header = "") {
  std::string m = "From: A <a@x.test>\r\nTo: b@y.test\r\nSubject: Parts\r\n" + extra_header +
                  "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"zz\"\r\n\r\n"
                  "--zz\r\nContent-Type: text/plain\r\n\r\nbody text\r\n";
  for (const auto& p : parts) {
    std::string encoded;
    for (std::size_t i = 0; i < p.data.size(); i += 57) {
      AppendBase64(reinterpret_cast<const unsigned char*>(p.data.data() + i),
                   std::min<std::size_t>(57, p.data.size() - i), encoded);
      encoded += "\r\n";
    }
    m += "--zz\r\nContent-Type: " + p.type + "; name=\"" + p.name +
         "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + encoded;
  }
  return m + "--zz--\r\n.\r\n";
}

std::vector<std::string> Relative(const CGatewayMessageFile& file) {
  std::vector<std::string> out;
  for (const auto& p : file.Attachments()) {
    out.push_back(p.lexically_relative(file.TempFolder()).string());
  }
  return out;
}

struct Fixture {
  TempRoot root;
  CGatewayMessageFile file{root / "temp"};
  std::vector<std::string> log;
  Fixture() {
    file.SetLog([this](const std::string& line) { log.push_back(line); });
  }
  fs::path Item(const std::string& text, const std::string& recipient = "bob@y.test",
                const std::string& sender = "alice@x.test") {
    return root.Write("queproc/1", ItemHeader(recipient, sender) + text);
  }
};

TEST(GatewayMessageFile, ReportAndHtmlAlternative) {
  Fixture f;
  ASSERT_EQ(f.file.Read(f.Item(ReadMail("alternative-pdf.eml"))), 0);
  EXPECT_EQ(f.file.Recipient(), "bob@y.test");
  EXPECT_EQ(f.file.Sender(), "alice@x.test");
  EXPECT_EQ(f.file.From(), " alice sender <alice@sender.test>");
  EXPECT_EQ(f.file.To(), " bob <bob@example.test>");
  EXPECT_EQ(f.file.Cc(), " carol@example.test");
  EXPECT_EQ(f.file.Subject(), " report with html");
  EXPECT_EQ(f.file.MessageId(), " <report-with-html@sender.test>");
  EXPECT_EQ(f.file.Date(), " Tue, 02 Jun 2026 10:00:00 +0000");
  EXPECT_EQ(f.file.Body(), "Plain text of the report mail.\r\n");
  EXPECT_EQ(Relative(f.file), (std::vector<std::string>{"0/report.pdf", "1/th_HTML_body.htm"}));
  EXPECT_EQ(f.file.ContentTypes(), (std::vector<std::string>{"application/pdf", "text/html"}));
  EXPECT_TRUE(TempRoot::Read(f.file.Attachments()[0]) == test::ReportPdf());
  EXPECT_EQ(f.file.TotalAttachmentSize(), static_cast<std::int64_t>(test::ReportPdf().size()));
  EXPECT_TRUE(f.file.HasContentType("HTML"));
  EXPECT_TRUE(f.file.HasContentType("application"));
  EXPECT_FALSE(f.file.HasContentType("video"));
  EXPECT_FALSE(f.file.HasZip());
  EXPECT_EQ(f.file.TempFolder().parent_path(), f.root / "temp");

  fs::path folder = f.file.TempFolder();
  f.file.Release();
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_TRUE(f.file.Attachments().empty());
  EXPECT_TRUE(f.file.TempFolder().empty());
}

TEST(GatewayMessageFile, ArchivesUnpackedInPlace) {
  Fixture f;
  ASSERT_EQ(f.file.Read(f.Item(ReadMail("archives.eml"))), 0);
  EXPECT_TRUE(f.file.HasZip());
  EXPECT_TRUE(f.file.ZipWithPaths());
  EXPECT_TRUE(f.file.ZipEncrypted());
  // Members from the last entry to the first; the inner archive in a numbered folder; the
  // encrypted archive, which cannot be extracted, stays as a file.
  EXPECT_EQ(Relative(f.file), (std::vector<std::string>{"0/sub/b.txt", "0/a.txt", "1/top.txt",
                                                        "1_0/deep.txt", "2/secret.zip"}));
  EXPECT_EQ(TempRoot::Read(f.file.Attachments()[3]), "deep member\n");
  EXPECT_FALSE(fs::exists(f.file.TempFolder() / "0/docs.ZIP"));
  EXPECT_FALSE(fs::exists(f.file.TempFolder() / "1/nested.zip"));
  EXPECT_FALSE(fs::exists(f.file.TempFolder() / "1/inner.zip"));
  EXPECT_EQ(f.file.ContentTypes().size(), 3u);
  ASSERT_EQ(f.log.size(), 1u);
  EXPECT_EQ(f.log[0].rfind("archive secret.zip not extracted: ", 0), 0u) << f.log[0];
}

TEST(GatewayMessageFile, NamesFromMailStayInTheirFolder) {
  Fixture f;
  std::string zip = MakeZip(
      {{"ok.txt", "fine"}, {".hidden", "h"}, {"hidden", "plain"}, {"dir\\..\\..\\x", "climb"}});
  std::string text = MimeMessage({{"../../evil.exe", "application/octet-stream", "MZ"},
                                  {"..", "text/plain", "dots"},
                                  {"a\x01"
                                   "b\\c.txt",
                                   "text/plain", "ctl"},
                                  {"slip.zip", "application/zip", zip}});
  ASSERT_EQ(f.file.Read(f.Item(text)), 0);
  EXPECT_EQ(Relative(f.file),
            (std::vector<std::string>{"0/evil.exe", "1/th_unnamed_file", "2/c.txt", "3/slip.zip"}));
  ASSERT_EQ(f.log.size(), 1u);  // the climbing member refused the whole archive
  EXPECT_NE(f.log[0].find("leaves its folder"), std::string::npos);
  EXPECT_FALSE(fs::exists(f.file.TempFolder() / "3/ok.txt"));  // nothing half-made
  for (const auto& entry : fs::recursive_directory_iterator(f.root.Path())) {
    EXPECT_EQ(entry.path().string().rfind((f.root / "temp").string(), 0) == 0 ||
                  entry.path().string().rfind((f.root / "queproc").string(), 0) == 0,
              true)
        << entry.path();
  }

  std::string clash = MakeZip({{".x", "first"}, {"x", "second"}, {"sub/", ""}, {"sub/y", "y"}});
  ASSERT_EQ(f.file.Read(f.Item(MimeMessage({{"c.zip", "application/zip", clash}}))), 0);
  EXPECT_EQ(Relative(f.file), (std::vector<std::string>{"0/sub/y", "0/x_1", "0/x"}));
  EXPECT_EQ(TempRoot::Read(f.file.TempFolder() / "0/x"), "first");
}

TEST(GatewayMessageFile, ArchiveBoundsStopExtraction) {
  Fixture f;
  std::string big = MakeZip({{"zeros.bin", std::string(300000, '\0')}});
  std::string many = MakeZip({{"1", "a"}, {"2", "b"}, {"3", "c"}, {"4", "d"}});
  f.file.SetUnpackLimits({100000, 3});
  ASSERT_EQ(f.file.Read(f.Item(MimeMessage(
                {{"big.zip", "application/zip", big}, {"many.zip", "application/zip", many}}))),
            0);
  EXPECT_EQ(Relative(f.file), (std::vector<std::string>{"0/big.zip", "1/many.zip"}));
  ASSERT_EQ(f.log.size(), 2u);
  EXPECT_NE(f.log[0].find("unpacked bytes"), std::string::npos);
  EXPECT_NE(f.log[1].find("archive members"), std::string::npos);
  EXPECT_FALSE(fs::exists(f.file.TempFolder() / "0/zeros.bin"));

  // Archives inside archives: the fifth level is kept as it is.
  std::string nested = MakeZip({{"leaf.txt", "leaf"}});
  for (int level = 0; level < 5; ++level) nested = MakeZip({{"l.zip", nested}});
  f.file.SetUnpackLimits(UnpackBudget());
  f.log.clear();
  ASSERT_EQ(f.file.Read(f.Item(MimeMessage({{"deep.zip", "application/zip", nested}}))), 0);
  EXPECT_EQ(Relative(f.file), (std::vector<std::string>{"0_0_0_0/l.zip"}));
  ASSERT_EQ(f.log.size(), 1u);
  EXPECT_NE(f.log[0].find("nested deeper"), std::string::npos);
}

TEST(GatewayMessageFile, NestedArchiveFoldersNeverMeetPartFolders) {
  Fixture f;
  std::vector<Part> parts;
  parts.push_back({"p0.txt", "text/plain", "zero"});
  parts.push_back(
      {"outer.zip", "application/zip", MakeZip({{"inner.zip", MakeZip({{"in.txt", "inner"}})}})});
  for (int i = 2; i < 11; ++i)
    parts.push_back({"p" + std::to_string(i) + ".txt", "text/plain", "n"});
  ASSERT_EQ(f.file.Read(f.Item(MimeMessage(parts))), 0);
  auto rel = Relative(f.file);
  ASSERT_EQ(rel.size(), 11u);
  EXPECT_EQ(rel[1], "1_0/in.txt");
  EXPECT_EQ(rel[10], "10/p10.txt");
}

TEST(GatewayMessageFile, ReadResults) {
  Fixture f;
  EXPECT_EQ(f.file.Read(f.root / "queproc/none"), -1);
  auto item = f.Item(ReadMail("mixed-pdf.eml"));
  {
    LockedFile writer;
    std::string error;
    ASSERT_EQ(writer.OpenLocked(item, Access::ReadWrite, error), LockResult::Locked);
    EXPECT_EQ(f.file.Read(item), -1);
  }
  ASSERT_EQ(f.file.Read(item), 0);
  LockedFile after;  // Read gave the lock back
  std::string error;
  EXPECT_EQ(after.OpenLocked(item, Access::ReadWrite, error), LockResult::Locked);
  after.Close();
  EXPECT_EQ(f.file.Read(f.root.Write("queproc/2", Number(1) + Number(2))), -2);
  EXPECT_EQ(f.file.Read(f.root.Write("queproc/3", "")), -2);
  EXPECT_TRUE(f.file.Recipient().empty());
}

TEST(GatewayMessageFile, OverlongEnvelopeFieldIsSkipped) {
  Fixture f;
  std::string header = Number(1) + Number(0) + Number(0) + Number(300) + std::string(300, 'r') +
                       Number(8) + std::string("s@x.tst") + '\0';
  auto item = f.root.Write("queproc/4", header + ReadMail("mixed-pdf.eml"));
  ASSERT_EQ(f.file.Read(item), 0);
  EXPECT_EQ(f.file.Recipient(), "");
  EXPECT_EQ(f.file.Sender(), "s@x.tst");
  EXPECT_EQ(Relative(f.file), (std::vector<std::string>{"0/report.pdf"}));
  EXPECT_EQ(CGatewayMessageFile::RewriteRecipient(item, "new@x") & 8, 8);
}

TEST(GatewayMessageFile, PlainMessagesAndUuencodedBlocks) {
  Fixture f;
  auto raw = f.root.Write("plain.eml", ReadMail("uuencoded.eml"));
  ASSERT_EQ(f.file.Read(raw, ItemFormat::PlainMessage), 0);
  EXPECT_EQ(f.file.Recipient(), "");
  EXPECT_EQ(f.file.Subject(), " uuencoded");
  EXPECT_EQ(Relative(f.file), (std::vector<std::string>{"0/notes.txt", "1/tiny.bin"}));
  EXPECT_EQ(f.file.ContentTypes(), (std::vector<std::string>{"", ""}));
  // A second Read clears the first item and its folder.
  fs::path first = f.file.TempFolder();
  ASSERT_EQ(f.file.Read(f.Item("Subject: Only Text\r\n\r\nhello\r\n.\r\n")), 0);
  EXPECT_FALSE(fs::exists(first));
  EXPECT_EQ(f.file.Body(), "hello\r\n.\r\n");
  EXPECT_TRUE(f.file.Attachments().empty());
  // Nothing to save: no folder is made for it.
  EXPECT_TRUE(f.file.TempFolder().empty());
  EXPECT_TRUE(fs::is_empty(f.root / "temp"));
}

// `levels` attached messages, one inside the other, around a message with a program part.
std::string Forwarded(int levels) {
  std::string m = MimeMessage({{"evil.exe", "application/octet-stream", "MZ program"}});
  m.resize(m.size() - 3);  // without the ".\r\n" of the item
  for (int i = 0; i < levels; ++i) {
    m = "Subject: Fwd\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"l" +
        std::to_string(i) + "\"\r\n\r\n--l" + std::to_string(i) +
        "\r\nContent-Type: message/rfc822\r\n\r\n" + m + "\r\n--l" + std::to_string(i) + "--\r\n";
  }
  return m + ".\r\n";
}

// Nested parts are saved decoded, beside their part, and nothing of the work is left over;
// past the depth bound the part stays one file and the log says why.
TEST(GatewayMessageFile, NestedMessagesWithinTheirBounds) {
  const struct {
    int levels;
    bool program_saved;
  } cases[] = {{1, true}, {kMaxNestedMessageDepth - 1, true}, {kMaxNestedMessageDepth, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.levels);
    Fixture f;
    ASSERT_EQ(f.file.Read(f.Item(Forwarded(c.levels))), 0);
    const auto& inner = f.file.InnerParts();
    auto program = std::find_if(inner.begin(), inner.end(),
                                [](const fs::path& p) { return p.filename() == "evil.exe"; });
    EXPECT_EQ(program != inner.end(), c.program_saved);
    if (program != inner.end()) {
      EXPECT_EQ(TempRoot::Read(*program), "MZ program");
    }
    EXPECT_EQ(f.file.Attachments().size() - inner.size(), 1u);  // the attached message itself
    EXPECT_EQ(f.log.size(), c.program_saved ? 0u : 1u);
    for (const auto& entry : fs::recursive_directory_iterator(f.file.TempFolder())) {
      EXPECT_NE(entry.path().extension(), ".msg");
      EXPECT_NE(entry.path().extension(), ".raw");
    }
  }
}

// Parts saved from inside others count against the unpacking budget of the message.
TEST(GatewayMessageFile, NestedPartsCountAgainstTheBudget) {
  Fixture f;
  UnpackBudget small;
  small.members_left = 2;
  f.file.SetUnpackLimits(small);
  ASSERT_EQ(f.file.Read(f.Item(Forwarded(3))), 0);
  // The two attached messages inside the first; the innermost body text and program are
  // over the budget.
  EXPECT_EQ(f.file.InnerParts().size(), 2u);
  ASSERT_EQ(f.log.size(), 1u);
  EXPECT_NE(f.log[0].find("more than"), std::string::npos);
}

TEST(GatewayMessageFile, ReceivedTrailAndRecipients) {
  Fixture f;
  std::string text =
      "Received: from a by b for: <one@x.test>; Tue, 1 Jun 2026\r\n"
      "Received: from c\r\n\tby d for <two@x.test>; Tue\r\n"
      "Received: by e; Return-Path: <ret@x.test>X\r\n"
      "Subject: r\r\n\r\nbody\r\n";
  ASSERT_EQ(f.file.Read(f.Item(text)), 0);
  EXPECT_EQ(f.file.ReceivedList(),
            (std::vector<std::string>{"Received:  from a by b for: <one@x.test>; Tue, 1 Jun 2026",
                                      "Received:  from c\tby d for <two@x.test>; Tue",
                                      "Received:  by e; Return-Path: <ret@x.test>X"}));
  EXPECT_EQ(f.file.FoundRecipients(), (std::vector<std::string>{"one@x.test"}));
  EXPECT_EQ(f.file.ReturnPath(), "ret@x.test");
  f.file.FindRecipients("for");
  EXPECT_EQ(f.file.FoundRecipients(), (std::vector<std::string>{"two@x.test"}));
}

}  // namespace
}  // namespace tarnhold
