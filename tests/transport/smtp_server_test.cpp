#include "transport/smtp_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/activity_log.h"
#include "gateway/queue_item.h"
#include "gateway/server_settings.h"
#include "platform/locked_file.h"
#include "platform/spool_folder.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/temp_root.h"
#include "transport/smtp_transfer.h"

namespace tarnhold {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::TempRoot;

constexpr const char* kServerName = "mx.example";

// Collects the SMTP receiver log without its time stamps.
class LogCapture {
 public:
  LogCapture() : log_(kSmtpInLogName) {
    log_.SetLineSink([this](std::string_view, std::string_view line) {
      std::scoped_lock l(mutex_);
      auto blank = line.find(' ');
      lines_.emplace_back(blank == std::string_view::npos ? line : line.substr(blank + 1));
    });
    InstallActivityLogs({.smtp_in = &log_});
  }
  ~LogCapture() { InstallActivityLogs({}); }
  std::vector<std::string> Lines() {
    std::scoped_lock l(mutex_);
    return lines_;
  }
  int Count(std::string_view line) {
    auto all = Lines();
    return static_cast<int>(std::count(all.begin(), all.end(), line));
  }
  // Waits until `line` has been logged `times` times.
  bool WaitFor(std::string_view line, int times = 1) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (Count(line) < times) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }

 private:
  CUH_Control log_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// A receiver on a fresh data root, listening on 127.0.0.1 on a free port.
struct Receiver {
  TempRoot root;
  LogCapture log;
  CServerSettings settings{root.Path()};
  CSmtpServer server;

  explicit Receiver(bool make_folders = true) {
    if (make_folders) {
      fs::create_directories(root / "queproc");
      fs::create_directories(root / "stat");
    }
    server.SetSettings(&settings);
    server.SetServerNameSource([] { return std::string(kServerName); });
    EXPECT_EQ(server.Start(0, "127.0.0.1"), 0);
  }
  std::vector<std::uint32_t> Items() { return ListItemNumbers(root / "queproc"); }
  // Header and text of processing item `n`.
  std::pair<QueueItemHeader, std::string> Item(std::uint32_t n) {
    LockedFile file;
    std::string error;
    QueueItemHeader header;
    EXPECT_EQ(file.OpenLocked(root / "queproc" / std::to_string(n), Access::ReadOnly, error),
              LockResult::Locked);
    EXPECT_EQ(ReadQueueItemHeader(file, header), 0);
    std::string text;
    char buffer[4096];
    for (long got; (got = file.Read(buffer, sizeof buffer)) > 0;) text.append(buffer, got);
    return {header, text};
  }
};

// The client side: sends command lines and reads replies line by line.
class Client {
 public:
  explicit Client(int port, const char* from = "127.0.0.1") : fd_(test::ConnectLoopback(port, from)) {}
  void Send(std::string_view text) { EXPECT_TRUE(test::SendText(fd_.Get(), text)); }
  void Line(std::string_view command) { Send(std::string(command) + "\r\n"); }
  // The next reply line with its CR LF.
  std::string Reply() {
    std::size_t end;
    while ((end = pending_.find("\r\n")) == std::string::npos) {
      if (!test::ReadUntil(fd_.Get(), "\r\n", pending_)) return "<nothing: " + pending_ + ">";
    }
    std::string line = pending_.substr(0, end + 2);
    pending_.erase(0, end + 2);
    return line;
  }
  int Fd() const { return fd_.Get(); }
  void Close() { fd_.Reset(); }

 private:
  UniqueFd fd_;
  std::string pending_;
};

// Runs a dialogue written as "C: command" and "S: reply" lines (CR LF added to both).
void RunScript(Client& client, const std::vector<std::string>& script) {
  for (const std::string& step : script) {
    SCOPED_TRACE(step);
    ASSERT_GE(step.size(), 3u);
    std::string text = step.substr(3);
    if (step.rfind("C: ", 0) == 0) {
      client.Line(text);
    } else {
      EXPECT_EQ(client.Reply(), text + "\r\n");
    }
  }
}

constexpr const char* kGreeting = "S: 220 mx.example Service Ready";

TEST(SmtpCommands, RecognisedByTheirFirstFourCharacters) {
  struct Case {
    const char* line;
    SmtpCommand want;
  } cases[] = {
      {"HELO x", SmtpCommand::Helo}, {"helo", SmtpCommand::Helo},  {"HELOX", SmtpCommand::Helo},
      {"EHLO x", SmtpCommand::Unknown}, {"mail from:<a@b>", SmtpCommand::Mail},
      {"RcPt", SmtpCommand::Rcpt},   {"DATA", SmtpCommand::Data},  {"HELP me", SmtpCommand::Help},
      {"quit", SmtpCommand::Quit},   {"NOOP", SmtpCommand::Noop},  {"RSET", SmtpCommand::Rset},
      {"HEL", SmtpCommand::Unknown}, {"", SmtpCommand::Unknown},   {"STARTTLS", SmtpCommand::Unknown},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(RecogniseSmtpCommand(c.line), c.want);
  }
}

TEST(SmtpCommands, AddressTokens) {
  struct Case {
    std::string line;
    bool found;
    const char* want;
  } cases[] = {
      {"MAIL FROM:<a@b.example>", true, "a@b.example"},
      {"MAIL FROM: <a@b.example>", true, "a@b.example"},
      {"MAIL FROM: a@b.example", true, "a@b.example"},
      {"RCPT TO:<x@y.example> NOTIFY=NEVER", true, "x@y.example"},
      {"MAIL FROM:<a@b.example> SIZE=100", true, "a@b.example"},
      {"MAIL FROM:<>", false, ""},
      // Brackets count as the characters around "@": only the brackets are then removed.
      {"MAIL FROM:<@>", true, "@"},
      {"MAIL FROM:<user@>", true, "user@"},
      {"MAIL FROM: user@", false, ""},
      {"MAIL FROM: @", false, ""},
      {"MAIL FROM:", false, ""},
      {"RCPT TO:<" + std::string(300, 'a') + "@b.example>", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::string address = "stale";
    EXPECT_EQ(SmtpAddressToken(c.line, address), c.found);
    EXPECT_EQ(address, c.want);
  }
}

TEST(DataLines, HeaderEndAndFinalDotOnlyAtLineStarts) {
  struct Read {
    std::string text;
    bool complete;
    bool insert;
    bool end;
  };
  std::vector<Read> reads = {
      {"Subject: x\r\n", true, false, false},
      {std::string(511, 'h'), false, false, false},  // a piece of a long header line
      {"\r\n", true, false, false},                    // its end, not the empty line
      {"\r\n", true, true, false},                     // the empty line ending the header
      {std::string(511, 'b'), false, false, false},
      {".\r\n", true, false, false},                   // rest of a long line ending in "."
      {"..\r\n", true, false, false},                  // a stuffed dot
      {".\r\n", true, false, true},
  };
  DataLineTracker tracker;
  for (const Read& r : reads) {
    SCOPED_TRACE(r.text.substr(0, 20));
    auto step = tracker.Next(r.text, r.complete);
    EXPECT_EQ(step.insert_message_id, r.insert);
    EXPECT_EQ(step.end_of_data, r.end);
  }
}

TEST(DataLines, MessageIdInAnyCaseIsKept) {
  for (const char* field : {"Message-Id: <a@b>\r\n", "MESSAGE-ID:<a@b>\r\n", "message-id: x\r\n"}) {
    SCOPED_TRACE(field);
    DataLineTracker tracker;
    EXPECT_FALSE(tracker.Next(field, true).insert_message_id);
    EXPECT_FALSE(tracker.Next("\r\n", true).insert_message_id);
  }
  DataLineTracker tracker;
  tracker.Next("X-Message-Id: no\r\n", true);
  EXPECT_TRUE(tracker.Next("\r\n", true).insert_message_id);
}

TEST(SmtpDialogue, GreetingHeloAndSimpleCommands) {
  Receiver r;
  Client c(r.server.Port());
  RunScript(c, {kGreeting,
                "C: helo client.example", "S: 250 mx.example client.example",
                "C: HeLo", "S: 250 mx.example ",
                "C: HELOX other", "S: 250 mx.example other",
                "C: EHLO client.example", "S: 502 Command not implemented",
                "C: NOOP", "S: 250 Requested mail action ok, completed",
                "C: RSET", "S: 250 Ok",
                "C: ", "S: 502 Command not implemented",
                "C: QUIT", "S: 221 Goodbye"});
  EXPECT_TRUE(test::PeerClosed(c.Fd(), 5s));
  EXPECT_TRUE(r.log.WaitFor("QUIT"));
  EXPECT_EQ(r.log.Count("NEW Command: helo client.example"), 1);
  EXPECT_EQ(r.log.Count("NEW Command: EHLO client.example"), 1);
}

TEST(SmtpDialogue, HelpText) {
  Receiver r;
  Client c(r.server.Port());
  RunScript(c, {kGreeting, "C: HELP"});
  std::string help;
  for (int i = 0; i < 13; ++i) help += c.Reply();
  EXPECT_EQ(help,
            "214- Velgrant SMTP Server \r\n"
            "214- ================================================ \r\n"
            "214- Commands Accepted: \r\n"
            "214-    HELO   MAIL   RCPT   DATA   HELP   QUIT \r\n"
            "214-    NOOP   RSET  \r\n"
            "214- Normal Communication Sequence: \r\n"
            "214-    HELO client.example.com \r\n"
            "214-    MAIL From:<sender@example.com> \r\n"
            "214-    RCPT To:<recipient@example.org> \r\n"
            "214-    DATA \r\n"
            "214-          << send email message here>> \r\n"
            "214-\t\tQUIT \r\n"
            "214  ================================================ \r\n");
}

TEST(SmtpDialogue, SequenceRules) {
  Receiver r;
  Client c(r.server.Port());
  RunScript(c, {kGreeting,
                // MAIL needs no HELO; DATA straight after MAIL is refused, and so is RCPT then.
                "C: MAIL FROM:<a@x.example>", "S: 250 OK a@x.example",
                "C: DATA", "S: 503 Bad Sequence Of Commands.",
                "C: RCPT TO:<b@y.example>", "S: 503 Bad Sequence Of Commands.",
                // A new MAIL recovers; a 501 does not break the sequence.
                "C: MAIL FROM: a@x.example", "S: 250 OK a@x.example",
                "C: RCPT TO:<>", "S: 501 Syntax Error In Parameters Or Arguments.",
                "C: RCPT TO:<b@y.example>", "S: 250 OK  b@y.example ",
                // Anything else in between breaks it.
                "C: NOOP", "S: 250 Requested mail action ok, completed",
                "C: RCPT TO:<c@y.example>", "S: 503 Bad Sequence Of Commands.",
                "C: MAIL FROM:<>", "S: 501 Syntax Error In Parameters Or Arguments.",
                "C: MAIL FROM:<a@x.example>", "S: 250 OK a@x.example",
                "C: RCPT TO:<b@y.example>", "S: 250 OK  b@y.example ",
                "C: RSET", "S: 250 Ok",
                "C: DATA", "S: 503 Bad Sequence Of Commands.",
                "C: QUIT", "S: 221 Goodbye"});
  EXPECT_TRUE(r.Items().empty());
}

TEST(SmtpTransfer, OneItemPerRecipientAndStatForTheFirst) {
  Receiver r;
  Client c(r.server.Port(), "127.0.0.5");
  RunScript(c, {kGreeting, "C: HELO client.example",
                "S: 250 mx.example client.example",
                "C: MAIL FROM:<sender@x.example>", "S: 250 OK sender@x.example",
                "C: RCPT TO:<one@y.example>", "S: 250 OK  one@y.example ",
                "C: RCPT TO:<two@y.example>", "S: 250 OK  two@y.example ",
                "C: RCPT TO:<three@z.example>", "S: 250 OK  three@z.example ",
                "C: DATA", "S: 354 Start mail input, end with <CRLF>.<CRLF>",
                "C: Subject: hello", "C: ", "C: line one", "C: ..stuffed", "C: last",
                "C: .", "S: 250 Mail Received OK",
                // After a completed DATA the next message must start with MAIL.
                "C: RCPT TO:<four@y.example>", "S: 503 Bad Sequence Of Commands.",
                "C: QUIT", "S: 221 Goodbye"});
  ASSERT_EQ(r.Items(), (std::vector<std::uint32_t>{1, 2, 3}));
  const char* want_recipients[] = {"one@y.example", "two@y.example", "three@z.example"};
  std::string first_text;
  for (std::uint32_t n = 1; n <= 3; ++n) {
    auto [header, text] = r.Item(n);
    EXPECT_EQ(header.recipient, want_recipients[n - 1]);
    EXPECT_EQ(header.sender, "sender@x.example");
    EXPECT_EQ(header.attempts, 0u);
    EXPECT_EQ(header.return_kind, 0u);
    if (n == 1) first_text = text;
    EXPECT_EQ(text, first_text);
  }
  // The Message-ID line stands right before the empty line; the rest is as sent.
  ASSERT_EQ(first_text.rfind("Subject: hello\r\nMessage-ID: <", 0), 0u) << first_text;
  EXPECT_NE(first_text.find(">\r\n\r\nline one\r\n..stuffed\r\nlast\r\n.\r\n"), std::string::npos)
      << first_text;
  EXPECT_EQ(TempRoot::Read(r.root / "stat/1"), "127.0.0.5");
  EXPECT_FALSE(fs::exists(r.root / "stat/2"));
  EXPECT_FALSE(fs::exists(r.root / "stat/3"));
  auto lines = r.log.Lines();
  auto at = [&](std::string_view s) { return std::find(lines.begin(), lines.end(), s) - lines.begin(); };
  EXPECT_LT(at("Data finished"), at("Mail received OK from 127.0.0.5"));
  EXPECT_LT(at("Mail received OK from 127.0.0.5"), at("Mail received OK"));
  EXPECT_LT(at("Mail received OK"), static_cast<long>(lines.size()));
}

TEST(SmtpTransfer, ExistingMessageIdIsNotAdded) {
  Receiver r;
  Client c(r.server.Port());
  RunScript(c, {kGreeting, "C: MAIL FROM:<a@x.example>", "S: 250 OK a@x.example",
                "C: RCPT TO:<b@y.example>", "S: 250 OK  b@y.example ", "C: DATA",
                "S: 354 Start mail input, end with <CRLF>.<CRLF>", "C: message-id: <m@x>",
                "C: ", "C: body", "C: .", "S: 250 Mail Received OK"});
  ASSERT_EQ(r.Items().size(), 1u);
  EXPECT_EQ(r.Item(1).second, "message-id: <m@x>\r\n\r\nbody\r\n.\r\n");
}

TEST(SmtpTransfer, StoredExactlyWhetherSentWholeOrByteByByte) {
  std::string long_header = "X-Long: " + std::string(503, 'h') + "\r\n";  // 511 bytes + CR LF
  std::string body = std::string("bin\0ary\x01\xff\r\n", 12) + "lone\nlf\r\n" +
                     std::string(511, 'a') + ".\r\n" + std::string(510, 'b') + "\r\n.x\r\n";
  std::string message = long_header + "\r\n" + body + ".\r\n";
  std::string stored[2];
  for (int byte_by_byte = 0; byte_by_byte < 2; ++byte_by_byte) {
    SCOPED_TRACE(byte_by_byte);
    Receiver r;
    Client c(r.server.Port());
    RunScript(c, {kGreeting, "C: MAIL FROM:<a@x.example>", "S: 250 OK a@x.example",
                  "C: RCPT TO:<b@y.example>", "S: 250 OK  b@y.example ", "C: DATA",
                  "S: 354 Start mail input, end with <CRLF>.<CRLF>"});
    if (byte_by_byte) {
      for (char ch : message) c.Send(std::string_view(&ch, 1));
    } else {
      c.Send(message);
    }
    EXPECT_EQ(c.Reply(), "250 Mail Received OK\r\n");
    ASSERT_EQ(r.Items().size(), 1u);
    stored[byte_by_byte] = r.Item(1).second;
    auto id_at = stored[byte_by_byte].find("Message-ID: <");
    ASSERT_EQ(id_at, long_header.size());
    auto id_end = stored[byte_by_byte].find("\r\n", id_at) + 2;
    EXPECT_EQ(stored[byte_by_byte].substr(0, id_at) + stored[byte_by_byte].substr(id_end), message);
  }
}

// A client that sends a whole session before reading any reply: what the receiver reads past
// one line or past the data is the next command, never lost.
TEST(SmtpTransfer, SessionSentAheadOfTheRepliesIsAnsweredInOrder) {
  Receiver r;
  Client c(r.server.Port());
  RunScript(c, {kGreeting});
  c.Send(
      "MAIL FROM:<a@x.example>\r\nRCPT TO:<b@y.example>\r\nDATA\r\n"
      "Subject: one\r\n\r\nfirst\r\n.\r\n"
      "MAIL FROM:<c@x.example>\r\nRCPT TO:<d@y.example>\r\nDATA\r\n"
      "Subject: two\r\n\r\nsecond\r\n.\r\nQUIT\r\n");
  const char* want[] = {"250 OK a@x.example\r\n",  "250 OK  b@y.example \r\n",
                        "354 Start mail input, end with <CRLF>.<CRLF>\r\n",
                        "250 Mail Received OK\r\n", "250 OK c@x.example\r\n",
                        "250 OK  d@y.example \r\n",
                        "354 Start mail input, end with <CRLF>.<CRLF>\r\n",
                        "250 Mail Received OK\r\n", "221 Goodbye\r\n"};
  for (const char* reply : want) EXPECT_EQ(c.Reply(), reply);
  ASSERT_EQ(r.Items().size(), 2u);
  EXPECT_EQ(r.Item(1).first.recipient, "b@y.example");
  EXPECT_NE(r.Item(2).second.find("\r\nsecond\r\n.\r\n"), std::string::npos);
}

TEST(SmtpTransfer, ZeroByteInACommandEndsTheCommand) {
  Receiver r;
  Client c(r.server.Port());
  RunScript(c, {kGreeting});
  c.Send(std::string("NOOP\0garbage\r\n", 14));
  EXPECT_EQ(c.Reply(), "250 Requested mail action ok, completed\r\n");
  EXPECT_TRUE(r.log.WaitFor("NEW Command: NOOP"));
}

TEST(SmtpTransfer, RecipientsPastThirtyTwoAreKeptAndLogged) {
  Receiver r;
  Client c(r.server.Port());
  RunScript(c, {kGreeting, "C: MAIL FROM:<a@x.example>", "S: 250 OK a@x.example"});
  for (int i = 0; i < 35; ++i) {
    std::string address = "r" + std::to_string(i) + "@y.example";
    c.Line("RCPT TO:<" + address + ">");
    EXPECT_EQ(c.Reply(), "250 OK  " + address + " \r\n");
  }
  RunScript(c, {"C: DATA", "S: 354 Start mail input, end with <CRLF>.<CRLF>", "C: ", "C: .",
                "S: 250 Mail Received OK"});
  EXPECT_EQ(r.Items().size(), 35u);
  EXPECT_EQ(r.Item(35).first.recipient, "r34@y.example");
  EXPECT_EQ(r.log.Count("Error: GetRcptListItemCount, too large"), 3);
}

TEST(SmtpTransfer, RecipientsPastTheLimitAreRefused) {
  Receiver r;
  Client c(r.server.Port());
  RunScript(c, {kGreeting, "C: MAIL FROM:<a@x.example>", "S: 250 OK a@x.example"});
  std::string batch;
  for (std::size_t i = 0; i < kSmtpMaxRecipients + 50; ++i) {
    batch += "RCPT TO:<r" + std::to_string(i) + "@y.example>\r\n";
  }
  c.Send(batch);
  for (std::size_t i = 0; i < kSmtpMaxRecipients + 50; ++i) {
    std::string reply = c.Reply();
    EXPECT_EQ(reply.substr(0, 3), i < kSmtpMaxRecipients ? "250" : "452") << i;
  }
  // A refused RCPT keeps the sequence: DATA goes on with the recipients accepted.
  RunScript(c, {"C: DATA", "S: 354 Start mail input, end with <CRLF>.<CRLF>", "C: ", "C: .",
                "S: 250 Mail Received OK"});
  EXPECT_EQ(r.Items().size(), kSmtpMaxRecipients);
}

TEST(SmtpTransfer, ClientGoneDuringDataLeavesNothing) {
  Receiver r;
  {
    Client c(r.server.Port());
    RunScript(c, {kGreeting, "C: MAIL FROM:<a@x.example>", "S: 250 OK a@x.example",
                  "C: RCPT TO:<b@y.example>", "S: 250 OK  b@y.example ",
                  "C: RCPT TO:<c@y.example>", "S: 250 OK  c@y.example ", "C: DATA",
                  "S: 354 Start mail input, end with <CRLF>.<CRLF>", "C: Subject: cut",
                  "C: ", "C: half a mess"});
  }
  EXPECT_TRUE(r.log.WaitFor("Data finished"));
  EXPECT_EQ(r.log.Count("SMTPDATA error"), 1);
  EXPECT_TRUE(r.Items().empty());
  EXPECT_TRUE(fs::is_empty(r.root / "stat"));
}

TEST(SmtpTransfer, NoItemPossibleAnswers451AfterTheData) {
  Receiver r(false);  // no queproc folder: no item can be made
  Client c(r.server.Port());
  RunScript(c, {kGreeting, "C: MAIL FROM:<a@x.example>", "S: 250 OK a@x.example",
                "C: RCPT TO:<b@y.example>", "S: 250 OK  b@y.example ", "C: DATA",
                "S: 354 Start mail input, end with <CRLF>.<CRLF>", "C: ", "C: body", "C: ."});
  // The data is read until the client stops sending; this client says so by closing its side.
  ::shutdown(c.Fd(), SHUT_WR);
  EXPECT_EQ(c.Reply(), "451 Requested action aborted - error in processing\r\n");
  EXPECT_TRUE(test::PeerClosed(c.Fd(), 5s));
  EXPECT_TRUE(r.log.WaitFor("SMTPDATA error"));
}

TEST(SmtpTransfer, StatFileImpossibleAnswers451AndLeavesNothing) {
  Receiver r(false);
  fs::create_directories(r.root / "queproc");  // but no stat folder
  Client c(r.server.Port());
  RunScript(c, {kGreeting, "C: MAIL FROM:<a@x.example>", "S: 250 OK a@x.example",
                "C: RCPT TO:<b@y.example>", "S: 250 OK  b@y.example ",
                "C: RCPT TO:<c@y.example>", "S: 250 OK  c@y.example ", "C: DATA",
                "S: 354 Start mail input, end with <CRLF>.<CRLF>", "C: ", "C: body", "C: .",
                "S: 451 Requested action aborted - error in processing",
                // The session goes on: a new transaction may follow.
                "C: NOOP", "S: 250 Requested mail action ok, completed"});
  EXPECT_TRUE(r.Items().empty());
  EXPECT_EQ(r.log.Count("file error writing stat info: No such file or directory"), 1);
  EXPECT_EQ(r.log.Count("Mail received OK"), 0);
}

TEST(SmtpTransfer, ItemsStayLockedUntilTheReply) {
  // While the client has not yet had its 250, no item can be taken by another party.
  Receiver r;
  Client c(r.server.Port());
  RunScript(c, {kGreeting, "C: MAIL FROM:<a@x.example>", "S: 250 OK a@x.example",
                "C: RCPT TO:<b@y.example>", "S: 250 OK  b@y.example ", "C: DATA",
                "S: 354 Start mail input, end with <CRLF>.<CRLF>", "C: ", "C: body"});
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (r.Items().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_EQ(r.Items().size(), 1u);
  LockedFile probe;
  std::string error;
  EXPECT_EQ(probe.OpenLocked(r.root / "queproc/1", Access::ReadWrite, error), LockResult::Busy);
  RunScript(c, {"C: .", "S: 250 Mail Received OK"});
  EXPECT_EQ(probe.OpenLocked(r.root / "queproc/1", Access::ReadWrite, error), LockResult::Locked);
}

TEST(SmtpServerLimit, PastTheLimitClosedWithoutAWord) {
  Receiver r;
  CSmtpServer& open_server = r.server;
  std::vector<std::unique_ptr<Client>> held;
  for (int i = 0; i < kMaxConnections; ++i) {
    held.push_back(std::make_unique<Client>(open_server.Port(), "127.0.0.2"));
    EXPECT_EQ(held.back()->Reply(), "220 mx.example Service Ready\r\n");
  }
  Client extra(open_server.Port(), "127.0.0.2");
  std::string got;
  EXPECT_TRUE(test::ReadToClose(extra.Fd(), got));
  EXPECT_EQ(got, "");
  Client local(open_server.Port(), "127.0.0.1");
  EXPECT_EQ(local.Reply(), "220 mx.example Service Ready\r\n");
}

}  // namespace
}  // namespace tarnhold
