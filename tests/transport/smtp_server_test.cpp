#include "transport/smtp_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "gateway/activity_log.h"
#include "gateway/metrics.h"
#include "gateway/queue_item.h"
#include "gateway/server_settings.h"
#include "platform/locked_file.h"
#include "platform/spool_folder.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/temp_root.h"
#include "transport/relay_guard.h"
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
template <class Server = CSmtpServer>
struct BasicReceiver {
  TempRoot root;
  LogCapture log;
  CServerSettings settings{root.Path()};
  Server server;

  // `server_args` go to the server's constructor.
  template <class... Args>
  explicit BasicReceiver(bool make_folders = true, Args&&... server_args)
      : server(std::forward<Args>(server_args)...) {
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
using Receiver = BasicReceiver<>;

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

// Runs a dialogue written as "C: command" and "S: reply" lines (CR LF added to both); one
// entry may hold several lines, split at LF.
void RunScript(Client& client, const std::vector<std::string>& script) {
  for (const std::string& entry : script) {
    std::istringstream lines(entry);
    for (std::string step; std::getline(lines, step);) {
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
}

constexpr const char* kGreeting = "S: 220 mx.example Service Ready";

// The reply to EHLO that announces a limit of `size` bytes (0: none).
std::string EhloReply(std::int64_t size = 52428800) {
  return "S: 250-mx.example\nS: 250-SIZE " + std::to_string(size) +
         "\nS: 250-8BITMIME\nS: 250 PIPELINING";
}

TEST(SmtpCommands, RecognisedByTheirFirstFourCharacters) {
  struct Case {
    const char* line;
    SmtpCommand want;
  } cases[] = {
      {"HELO x", SmtpCommand::Helo}, {"helo", SmtpCommand::Helo},  {"HELOX", SmtpCommand::Helo},
      {"EHLO x", SmtpCommand::Ehlo}, {"mail from:<a@b>", SmtpCommand::Mail},
      {"RcPt", SmtpCommand::Rcpt},   {"DATA", SmtpCommand::Data},  {"HELP me", SmtpCommand::Help},
      {"quit", SmtpCommand::Quit},   {"NOOP", SmtpCommand::Noop},  {"RSET", SmtpCommand::Rset},
      {"HEL", SmtpCommand::Unknown}, {"", SmtpCommand::Unknown},   {"starttls", SmtpCommand::StartTls},
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

// The stored text of `reads` ({text, complete} pairs) and the index of the read that ended it.
std::pair<std::string, int> StoreReads(const std::vector<std::pair<std::string, bool>>& reads) {
  DataLineTracker tracker([] { return std::string("Message-ID: <new>\r\n"); });
  std::string stored;
  for (std::size_t i = 0; i < reads.size(); ++i) {
    if (tracker.Add(reads[i].first, reads[i].second, stored)) return {stored, static_cast<int>(i)};
  }
  return {stored, -1};
}

TEST(DataLines, HeaderEndAndFinalDotOnlyAtLineStarts) {
  const std::string h(511, 'h'), b(511, 'b');
  auto [stored, end] = StoreReads({
      {"Subject: x\r\n", true},
      {h, false},  // a piece of a long header line
      {"\r\n", true},     // its end, not the empty line
      {"\r\n", true},     // the empty line ending the header
      {b, false},
      {".\r\n", true},    // rest of a long line ending in "."
      {"..\r\n", true},   // a stuffed dot
      {".\r\n", true},
  });
  EXPECT_EQ(end, 7);
  EXPECT_EQ(stored, "Subject: x\r\n" + h + "\r\nMessage-ID: <new>\r\n\r\n" + b + ".\r\n..\r\n.\r\n");
}

TEST(DataLines, MessageIdInAnyCaseIsKept) {
  for (const char* field : {"Message-Id: <a@b>\r\n", "MESSAGE-ID:<a@b>\r\n", "message-id: x\r\n"}) {
    SCOPED_TRACE(field);
    EXPECT_EQ(StoreReads({{field, true}, {"\r\n", true}}).first, std::string(field) + "\r\n");
  }
  EXPECT_EQ(StoreReads({{"X-Message-Id: no\r\n", true}, {"\r\n", true}}).first,
            "X-Message-Id: no\r\nMessage-ID: <new>\r\n\r\n");
}

// Bare line ends become CR LF; no line they make can be read as the end of the data, here or
// by the server the message goes to next.
TEST(DataLines, BareLineEndsAreStoredAsWholeLines) {
  struct Case {
    std::string read;
    std::string want;
  } cases[] = {
      {"a\nb\r\n", "a\r\nb\r\n"},
      {"a\rb\r\n", "a\r\nb\r\n"},
      {"a\n.\r\n", "a\r\n..\r\n"},              // the smuggling pattern
      {"a\r\n", "a\r\n"},
      {".\n", "..\r\n"},                            // a lone dot ended bare
      {"\n.\n", "\r\n..\r\n"},
      {"a\r.\r\n", "a\r\n..\r\n"},
      {"..\r\n", "..\r\n"},                        // stuffed by the client: as it came
      {"x\n.x\r\n", "x\r\n..x\r\n"},
      // Bare ends after the first bytes of a long line, where the line is copied in runs.
      {"Subject-like text\n.next long line\r.x\r\n",
       "Subject-like text\r\n..next long line\r\n..x\r\n"},
      {"a line longer than the head.\r\n", "a line longer than the head.\r\n"},
      {"\n\r\n", "Message-ID: <new>\r\n\r\n\r\n"},  // a bare empty line ends the header
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.read);
    // After the header, except for the last case.
    const bool header = c.want.find("Message-ID") != std::string::npos;
    std::vector<std::pair<std::string, bool>> reads;
    if (!header) reads.push_back({"\r\n", true});
    reads.push_back({c.read, c.read.ends_with("\r\n")});
    auto [stored, end] = StoreReads(reads);
    EXPECT_EQ(end, -1);
    EXPECT_EQ(stored, (header ? "" : "Message-ID: <new>\r\n\r\n") + c.want);
  }
}

TEST(SmtpDialogue, GreetingHeloAndSimpleCommands) {
  Receiver r;
  Client c(r.server.Port());
  RunScript(c, {kGreeting,
                "C: helo client.example", "S: 250 mx.example client.example",
                "C: HeLo", "S: 250 mx.example ",
                "C: HELOX other", "S: 250 mx.example other",
                "C: EHLO client.example", EhloReply(),
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
                "C: MAIL FROM:", "S: 501 Syntax Error In Parameters Or Arguments.",
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
  std::string body = std::string("bin\0ary\x01\xff\r\n", 12) + "crlf\r\nlines\r\n" +
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

// A message of many 64 KB writes, some lines ended bare among them: every byte arrives in
// order, bare ends made CR LF, and the command after the data is still answered.
TEST(SmtpTransfer, LargeMessageStoredInOrder) {
  std::string message = "Message-Id: <big@x>\r\n\r\n";
  std::string want = message;
  for (int i = 0; i < 6000; ++i) {
    const std::string line = "line " + std::to_string(i) + " " + std::string(i % 90, 'm');
    message += line + (i % 97 == 0 ? "\n" : "\r\n");
    want += line + "\r\n";
  }
  const std::string long_line = std::string(100000, 'L') + "\r\n";
  message += long_line;
  want += long_line + ".\r\n";
  Receiver r;
  Client c(r.server.Port());
  RunScript(c, {kGreeting, "C: MAIL FROM:<a@x.example>", "S: 250 OK a@x.example",
                "C: RCPT TO:<b@y.example>", "S: 250 OK  b@y.example ", "C: DATA",
                "S: 354 Start mail input, end with <CRLF>.<CRLF>"});
  c.Send(message + ".\r\nQUIT\r\n");
  RunScript(c, {"S: 250 Mail Received OK", "S: 221 Goodbye"});
  ASSERT_EQ(r.Items().size(), 1u);
  EXPECT_TRUE(r.Item(1).second == want);
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

// ---- Extended SMTP ----

constexpr const char* kStartData = "S: 354 Start mail input, end with <CRLF>.<CRLF>";

std::shared_ptr<const ReceiverPolicy> PolicyWith(std::int64_t max_bytes) {
  auto policy = std::make_shared<ReceiverPolicy>();
  policy->max_message_bytes = max_bytes;
  return policy;
}

TEST(SmtpExtended, EhloAnnouncesTheLimitAndEndsTheTransaction) {
  Receiver r;
  r.server.SetPolicy(PolicyWith(1000));
  Client c(r.server.Port());
  RunScript(c, {kGreeting, "C: MAIL FROM:<a@x.example>", "S: 250 OK a@x.example",
                "C: RCPT TO:<b@y.example>", "S: 250 OK  b@y.example ",
                "C: ehlo client.example", EhloReply(1000),
                "C: RCPT TO:<b@y.example>", "S: 503 Bad Sequence Of Commands.",
                "C: DATA", "S: 503 Bad Sequence Of Commands."});
  r.server.SetPolicy(PolicyWith(0));  // no limit: SIZE 0 (for sessions from now on)
  Client d(r.server.Port());
  RunScript(d, {kGreeting, "C: EHLO", EhloReply(0)});
}

TEST(SmtpExtended, MailParameters) {
  struct Case {
    const char* text;
    ParameterResult want;
    std::int64_t size;
    bool eight_bit;
  } cases[] = {
      {"", ParameterResult::Accepted, -1, false},
      {" SIZE=100 BODY=8BITMIME", ParameterResult::Accepted, 100, true},
      {"  size=7   body=7bit ", ParameterResult::Accepted, 7, false},
      {" SIZE=99999999999999999999", ParameterResult::Accepted, INT64_MAX, false},
      {" SIZE=", ParameterResult::BadValue, -1, false},
      {" SIZE=-1", ParameterResult::BadValue, -1, false},
      {" SIZE=123456789012345678901", ParameterResult::BadValue, -1, false},
      {" BODY=BINARYMIME", ParameterResult::BadValue, -1, false},
      {" AUTH=<>", ParameterResult::Unknown, -1, false},
      {" SIZE", ParameterResult::BadValue, -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    MailParameters got;
    EXPECT_EQ(ParseMailParameters(c.text, got), c.want);
    if (c.want == ParameterResult::Accepted) {
      EXPECT_EQ(got.size, c.size);
      EXPECT_EQ(got.eight_bit, c.eight_bit);
    }
  }
  EXPECT_EQ(ParseRcptParameters("  "), ParameterResult::Accepted);
  EXPECT_EQ(ParseRcptParameters(" NOTIFY=NEVER"), ParameterResult::Unknown);
}

TEST(SmtpExtended, ParametersAfterEhloAndNotAfterHelo) {
  Receiver r;
  r.server.SetPolicy(PolicyWith(5000));
  Client c(r.server.Port());
  RunScript(c, {kGreeting, "C: EHLO c", EhloReply(5000),
                "C: MAIL FROM:<a@x.example> SIZE=5001", "S: 552 5.3.4 Message size exceeds fixed maximum message size",
                "C: MAIL FROM:<a@x.example> FOO=1", "S: 555 MAIL FROM/RCPT TO parameters not recognized or not implemented",
                "C: MAIL FROM:<a@x.example> BODY=9BIT", "S: 501 Syntax Error In Parameters Or Arguments.",
                // Refused MAILs leave no sender: RCPT is still out of sequence.
                "C: RCPT TO:<b@y.example>", "S: 503 Bad Sequence Of Commands.",
                "C: MAIL FROM:<a@x.example> SIZE=5000 BODY=8BITMIME", "S: 250 OK a@x.example",
                "C: RCPT TO:<b@y.example> NOTIFY=NEVER", "S: 555 MAIL FROM/RCPT TO parameters not recognized or not implemented",
                "C: RCPT TO:<b@y.example>", "S: 250 OK  b@y.example ",
                // HELO goes back to the plain dialogue, where parameters were never looked at.
                "C: HELO c", "S: 250 mx.example c",
                "C: MAIL FROM:<a@x.example> SIZE=99999 FOO=1", "S: 250 OK a@x.example",
                "C: RCPT TO:<b@y.example> NOTIFY=NEVER", "S: 250 OK  b@y.example "});
  EXPECT_EQ(r.log.Count("Message refused: declared size 5001 exceeds the limit of 5000"), 1);
}

TEST(SmtpExtended, NullSenderIsAccepted) {
  Receiver r;
  Client c(r.server.Port());
  RunScript(c, {kGreeting, "C: EHLO c", EhloReply(),
                "C: MAIL FROM:<> SIZE=10", "S: 250 OK <>",
                "C: RCPT TO:<>", "S: 501 Syntax Error In Parameters Or Arguments.",
                "C: RCPT TO:<b@y.example>", "S: 250 OK  b@y.example ", "C: DATA", kStartData,
                "C: Subject: bounce", "C: ", "C: .", "S: 250 Mail Received OK"});
  ASSERT_EQ(r.Items().size(), 1u);
  EXPECT_EQ(r.Item(1).first.sender, "");
  EXPECT_EQ(r.Item(1).first.recipient, "b@y.example");
}

// Past the limit the data is read to its end and dropped; the session goes on.
TEST(SmtpExtended, DataPastTheLimitIsRefusedAfterItsEnd) {
  Receiver r;
  r.server.SetPolicy(PolicyWith(4096));
  Client c(r.server.Port());
  RunScript(c, {kGreeting, "C: MAIL FROM:<a@x.example>", "S: 250 OK a@x.example",
                "C: RCPT TO:<b@y.example>", "S: 250 OK  b@y.example ",
                "C: RCPT TO:<c@y.example>", "S: 250 OK  c@y.example ", "C: DATA", kStartData});
  std::string big = "Subject: big\r\n\r\n";
  while (big.size() < 20000) big += std::string(70, 'x') + "\r\n";
  c.Send(big + ".\r\n");
  EXPECT_EQ(c.Reply(), "552 5.3.4 Message size exceeds fixed maximum message size\r\n");
  EXPECT_TRUE(r.Items().empty());
  EXPECT_EQ(r.log.Count("Message refused: larger than the limit of 4096 bytes"), 1);
  RunScript(c, {"C: MAIL FROM:<a@x.example>", "S: 250 OK a@x.example",
                "C: RCPT TO:<b@y.example>", "S: 250 OK  b@y.example ", "C: DATA", kStartData,
                "C: Subject: small", "C: ", "C: " + std::string(4000, 'y'), "C: .",
                "S: 250 Mail Received OK"});
  EXPECT_EQ(r.Items().size(), 1u);
}

// A client that uses PIPELINING sends its commands up to DATA in one packet.
TEST(SmtpExtended, PipelinedCommandsInOnePacket) {
  Receiver r;
  Client c(r.server.Port());
  RunScript(c, {kGreeting});
  c.Send("EHLO c\r\nMAIL FROM:<a@x.example> SIZE=40\r\nRCPT TO:<b@y.example>\r\n"
         "RCPT TO:<c@y.example> X=1\r\nRCPT TO:<d@y.example>\r\nDATA\r\n");
  RunScript(c, {EhloReply(), "S: 250 OK a@x.example", "S: 250 OK  b@y.example ",
                "S: 555 MAIL FROM/RCPT TO parameters not recognized or not implemented",
                "S: 250 OK  d@y.example ", kStartData});
  c.Send("Subject: p\r\n\r\nbody\r\n.\r\nQUIT\r\n");
  RunScript(c, {"S: 250 Mail Received OK", "S: 221 Goodbye"});
  ASSERT_EQ(r.Items().size(), 2u);
  EXPECT_EQ(r.Item(2).first.recipient, "d@y.example");
}

// ---- The relay guard ----

TEST(RelayGuard, Networks) {
  struct Case {
    const char* text;
    bool valid;
    const char* address;  // with the host bits cleared
    int prefix;
  } cases[] = {
      {"10.1.2.3/8", true, "10.0.0.0", 8},      {" 192.0.2.0/24 ", true, "192.0.2.0", 24},
      {"198.51.100.7", true, "198.51.100.7", 32}, {"0.0.0.0/0", true, "0.0.0.0", 0},
      {"10.0.0.0/33", false, "", 0},            {"10.0.0.0/", false, "", 0},
      {"10.0.0/8", false, "", 0},               {"010.0.0.1", false, "", 0},
      {"host.example", false, "", 0},           {"10.0.0.0/8x", false, "", 0},
      {"::1/128", false, "", 0},                {"", false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto got = ParseIpv4Network(c.text);
    ASSERT_EQ(got.has_value(), c.valid);
    if (!c.valid) continue;
    in_addr want{};
    ASSERT_EQ(::inet_pton(AF_INET, c.address, &want), 1);
    EXPECT_EQ(got->address, ntohl(want.s_addr));
    EXPECT_EQ(got->mask, c.prefix == 0 ? 0u : ~0u << (32 - c.prefix));
  }
}

TEST(RelayGuard, FileLinesAndComments) {
  TempRoot root;
  const fs::path file = root.Write("relaynets.dat", "# office\n10.0.0.0/8\r\n\n  ; old\nbad line\n192.0.2.0/24\n300.1.1.1\n");
  std::vector<Ipv4Network> networks;
  std::vector<std::string> log;
  ReadRelayNetworks(file, networks, [&](const std::string& line) { log.push_back(line); });
  EXPECT_EQ(networks, (std::vector<Ipv4Network>{{0x0a000000, 0xff000000}, {0xc0000200, 0xffffff00}}));
  ASSERT_EQ(log.size(), 2u);
  EXPECT_NE(log[0].find("'bad line'"), std::string::npos) << log[0];
  EXPECT_NE(log[1].find("'300.1.1.1'"), std::string::npos) << log[1];
  networks.clear();
  ReadRelayNetworks(root / "missing.dat", networks, [&](const std::string& line) { log.push_back(line); });
  EXPECT_TRUE(networks.empty());
  EXPECT_EQ(log.size(), 2u);  // a missing file is no fault: loopback only
}

// A receiver whose sessions judge a given client address instead of the loopback one the
// test connects from.
class RemoteClientServer : public CSmtpServer {
 public:
  explicit RemoteClientServer(std::uint32_t address) : address_(address) {}
  ~RemoteClientServer() override { Shutdown(); }
  CServerConnection* CreateInstance() override { return new Connection(address_); }

 private:
  class Connection : public CSmtpConnection {
   public:
    explicit Connection(std::uint32_t address) : address_(address) {}
    std::uint32_t ClientAddress() const override { return address_; }

   private:
    std::uint32_t address_;
  };
  std::uint32_t address_;
};

TEST(RelayGuard, RemoteClientsRelayOnlyFromListedNetworks) {
  struct Case {
    std::uint32_t client;
    bool allow_relay;
    const char* recipient;
    const char* reply;
  } cases[] = {
      {0xc0000207, false, "x@remote.example", "550 5.7.1 Relaying denied"},  // 192.0.2.7
      {0xc0000207, false, "U@Local.EXAMPLE", "250 OK  U@Local.EXAMPLE "},
      {0xc0000207, true, "x@remote.example", "250 OK  x@remote.example "},
      {0xc6336409, false, "x@remote.example", "250 OK  x@remote.example "},  // 198.51.100.9
      {0x7f000005, false, "x@remote.example", "250 OK  x@remote.example "},  // 127.0.0.5
      {0xc0000207, false, "x@sub.local.example", "550 5.7.1 Relaying denied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.recipient + std::string(c.allow_relay ? " allowed" : ""));
    BasicReceiver<RemoteClientServer> r(true, c.client);
    auto policy = std::make_shared<ReceiverPolicy>();
    policy->relay.allow_relay = c.allow_relay;
    policy->relay.local_domains = {"local.example"};
    policy->relay.networks = {{0xc6336400, 0xffffff00}};
    r.server.SetPolicy(policy);
    Client client(r.server.Port());
    const std::uint64_t refused_before = Metrics().Value(Counter::RelayRefused);
    RunScript(client, {kGreeting, "C: MAIL FROM:<a@x.example>", "S: 250 OK a@x.example",
                       "C: RCPT TO:<" + std::string(c.recipient) + ">", "S: " + std::string(c.reply)});
    const bool denied = std::string_view(c.reply).starts_with("550");
    EXPECT_EQ(r.log.Count("Relaying denied: " + std::string(c.recipient) + " from 192.0.2.7"),
              denied ? 1 : 0);
    EXPECT_EQ(Metrics().Value(Counter::RelayRefused) - refused_before, denied ? 1u : 0u);
    // A refused recipient does not break the sequence.
    RunScript(client, {"C: RCPT TO:<p@local.example>", "S: 250 OK  p@local.example "});
  }
}

}  // namespace
}  // namespace tarnhold
