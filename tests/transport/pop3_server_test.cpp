#include "transport/pop3_server.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gateway/server_settings.h"
#include "platform/locked_file.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string Visible(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
  auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// A POP3 client on a socket: sends command lines and reads reply lines with deadlines.
class Client {
 public:
  explicit Client(int port, const char* from = "127.0.0.1")
      : fd_(test::ConnectLoopback(port, from)) {}

  [[nodiscard]] bool Connected() const { return fd_.Valid(); }
  void Send(std::string_view line) {
    ASSERT_TRUE(test::SendText(fd_.Get(), std::string(line) + "\r\n"));
  }
  void SendRaw(std::string_view bytes) { ASSERT_TRUE(test::SendText(fd_.Get(), bytes)); }

  // One reply line without its CR LF; "<closed>" or "<timeout>" when none came.
  std::string Line() {
    std::size_t end;
    while ((end = buffer_.find("\r\n")) == std::string::npos) {
      if (!Fill()) return closed_ ? "<closed>" : "<timeout>";
    }
    std::string line = buffer_.substr(0, end);
    buffer_.erase(0, end + 2);
    return line;
  }
  // Exactly `count` bytes (fewer when the connection ends first).
  std::string Bytes(std::size_t count) {
    while (buffer_.size() < count && Fill()) {
    }
    std::string out = buffer_.substr(0, count);
    buffer_.erase(0, out.size());
    return out;
  }
  // The lines of a multi-line reply up to its "." line, which is not included.
  std::vector<std::string> Listing() {
    std::vector<std::string> lines;
    for (std::string l = Line(); l != "."; l = Line()) {
      if (l == "<closed>" || l == "<timeout>") {
        lines.push_back(l);
        break;
      }
      lines.push_back(l);
    }
    return lines;
  }
  // Sends one command and returns the first reply line.
  std::string Ask(std::string_view command) {
    Send(command);
    return Line();
  }
  // True when nothing more arrives before the server closes (or within the time).
  bool NothingMoreWithin(std::chrono::milliseconds limit) {
    pollfd p{fd_.Get(), POLLIN, 0};
    return buffer_.empty() && ::poll(&p, 1, static_cast<int>(limit.count())) == 0;
  }
  bool ClosedByServer() { return test::PeerClosed(fd_.Get(), 5000ms); }
  void Close() { fd_.Reset(); }

 private:
  bool Fill() {
    pollfd p{fd_.Get(), POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return false;
    char chunk[4096];
    long n = ::recv(fd_.Get(), chunk, sizeof chunk, 0);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  UniqueFd fd_;
  std::string buffer_;
  bool closed_ = false;
};

constexpr const char* kMessage1 =
    "From: a@x.test\r\nMessage-Id: <one@x.test>\r\nSubject: one\r\n\r\nbody one\r\n.\r\n";
constexpr const char* kMessage2 =
    "From: b@x.test\r\nSubject: two\r\n\r\nline 1\r\n\r\nline 3\r\n..dotted\r\n.\r\n";
constexpr const char* kMessage3 = "Message-ID:\r\n <folded@x.test>\r\n\r\nthree\r\n.\r\n";

// A data root with two local users (bob: mailbox 0, carol: mailbox 1) and a running server on
// 127.0.0.1, port 0.
class Pop3Server : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_ / "popstore/0");
    fs::create_directories(root_ / "popstore/1");
    settings_.BuildMailboxTable({{"bob", "Secret", true}, {"carol", "pw", true}},
                                {{"bob", "bob"}, {"carol", "carol"}});
    server_ = std::make_unique<CPop3Server>(settings_);
    ASSERT_EQ(server_->Start(0, "127.0.0.1"), 0);
  }

  fs::path Mailbox(int m) const { return root_ / ("popstore/" + std::to_string(m)); }
  void Store(int m, int k, std::string_view text) const {
    root_.Write("popstore/" + std::to_string(m) + "/" + std::to_string(k), text);
  }
  void StoreThree() const {
    Store(0, 1, kMessage1);
    Store(0, 2, kMessage2);
    Store(0, 3, kMessage3);
  }
  bool InUse(int m) const { return settings_.MailboxTable()[static_cast<std::size_t>(m)].in_use; }

  // A client that has read the greeting and logged in as bob.
  std::unique_ptr<Client> LoggedIn() {
    auto c = std::make_unique<Client>(server_->Port());
    EXPECT_EQ(c->Line(), "+OK  POP3 server ready");
    EXPECT_EQ(c->Ask("USER bob"), "+OK");
    EXPECT_EQ(c->Ask("PASS Secret"), "+OK");
    return c;
  }

  test::TempRoot root_;
  CServerSettings settings_{root_.Path()};
  std::unique_ptr<CPop3Server> server_;
};

struct Exchange {
  std::string command;
  std::string want;
};

void Converse(Client& c, const std::vector<Exchange>& script) {
  for (const Exchange& e : script) {
    SCOPED_TRACE(Visible(e.command));
    EXPECT_EQ(c.Ask(e.command), e.want);
  }
}

std::string Size(std::string_view text) { return std::to_string(text.size()); }
std::string Total() {
  return std::to_string(std::string_view(kMessage1).size() + std::string_view(kMessage2).size() +
                        std::string_view(kMessage3).size());
}

TEST(Pop3Command, Recognition) {
  struct Case {
    const char* line;
    Pop3Command want;
  } cases[] = {
      {"USER bob", Pop3Command::User},    {"user bob", Pop3Command::User},
      {"PaSs x", Pop3Command::Pass},      {"STAT", Pop3Command::Stat},
      {"LIST 1", Pop3Command::List},      {"TOP 1 2", Pop3Command::Top},
      {"top 1", Pop3Command::Top},        {"TOP", Pop3Command::Unknown},
      {"TOPS", Pop3Command::Unknown},     {"RETR 1", Pop3Command::Retr},
      {"DELE 1", Pop3Command::Dele},      {"NOOP", Pop3Command::Noop},
      {"RSET", Pop3Command::Rset},        {"QUIT", Pop3Command::Quit},
      {"UIDL", Pop3Command::Uidl},        {"STATUS", Pop3Command::Stat},
      {"STA", Pop3Command::Unknown},      {"", Pop3Command::Unknown},
      {"APOP x y", Pop3Command::Unknown}, {" USER", Pop3Command::Unknown},
      {"CAPA", Pop3Command::Capa},        {"stls", Pop3Command::Stls},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(RecognisePop3Command(c.line), c.want);
  }
}

TEST_F(Pop3Server, LoginIgnoresLetterCaseOfAccountAndPassword) {
  StoreThree();
  Client c(server_->Port());
  EXPECT_EQ(c.Line(), "+OK  POP3 server ready");
  Converse(c, {{"USER nobody", "+OK"},
               {"PASS Secret", "-ERR"},
               {"USER BOB", "+OK"},
               {"PASS wrong", "-ERR"},
               {"PASS sECRET", "+OK"},
               {"STAT", "+OK 3 " + Total()}});
}

TEST_F(Pop3Server, CommandsBeforeLoginTouchNoMailbox) {
  StoreThree();
  Client c(server_->Port());
  EXPECT_EQ(c.Line(), "+OK  POP3 server ready");
  EXPECT_EQ(c.Ask("LIST"), "+OK -1 messages (0 octets)");
  EXPECT_EQ(c.Line(), ".");
  Converse(c, {{"STAT", "+OK -1 0"},
               {"RETR 1", "-ERR  Invalid Message Number"},
               {"DELE 1", "-ERR  Invalid Message Number"},
               {"LIST 1", "-ERR  Invalid Message Number"},
               {"TOP 1 0", "-ERR  Invalid Message Number"},
               {"UIDL 1", "-ERR  Invalid Message Number"},
               {"UIDL", "-ERR no messages"},
               {"RSET", "+OK"},
               {"NOOP", "+OK"},
               {"PASS Secret", "-ERR"},
               {"XTND", "-ERR Unknown Command"},
               {"TOP", "-ERR Unknown Command"},
               {"", "-ERR Unknown Command"}});
  EXPECT_EQ(c.Ask("QUIT"), "+OK");
  EXPECT_TRUE(c.ClosedByServer());
  EXPECT_TRUE(fs::exists(Mailbox(0) / "1"));
  EXPECT_FALSE(InUse(0));
}

TEST_F(Pop3Server, OneLoginPerMailboxAtATime) {
  StoreThree();
  auto first = LoggedIn();
  Client second(server_->Port());
  EXPECT_EQ(second.Line(), "+OK  POP3 server ready");
  Converse(second, {{"USER bob", "+OK"}, {"PASS secret", "-ERR"}});
  // Another mailbox is free; a second PASS on the first connection is refused and keeps it.
  Converse(second, {{"USER carol", "+OK"}, {"PASS pw", "+OK"}});
  Converse(*first, {{"USER carol", "+OK"}, {"PASS pw", "-ERR"}, {"STAT", "+OK 3 " + Total()}});
  EXPECT_EQ(first->Ask("QUIT"), "+OK");
  // The mailbox is free by the time QUIT is answered.
  Client third(server_->Port());
  EXPECT_EQ(third.Line(), "+OK  POP3 server ready");
  Converse(third, {{"USER bob", "+OK"}, {"PASS secret", "+OK"}});
}

TEST_F(Pop3Server, ListAndStatCountEveryMessage) {
  StoreThree();
  auto c = LoggedIn();
  Converse(*c, {{"STAT", "+OK 3 " + Total()},
                {"LIST 2", "+OK 2 " + Size(kMessage2)},
                {"LIST 0", "-ERR  Invalid Message Number"},
                {"LIST 4", "-ERR  Invalid Message Number"},
                {"DELE 2", "+OK"},
                {"LIST 2", "+OK 2 " + Size(kMessage2)}});
  EXPECT_EQ(c->Ask("LIST"), "+OK 3 messages (" + Total() + " octets)");
  EXPECT_EQ(c->Listing(), (std::vector<std::string>{"1 " + Size(kMessage1), "2 " + Size(kMessage2),
                                                    "3 " + Size(kMessage3)}));
  EXPECT_EQ(c->Ask("NOOP"), "+OK");
}

TEST_F(Pop3Server, BadMessageNumbers) {
  StoreThree();
  auto c = LoggedIn();
  const char* lines[] = {"RETR -1",
                         "RETR 99999999999",
                         "RETR 0",
                         "RETR 4",
                         "RETR",
                         "RETR abc",
                         "DELE -3",
                         "TOP 0 1",
                         "TOP -1",
                         "UIDL 4",
                         "LIST 99999999999999999999999999"};
  for (const char* line : lines) {
    SCOPED_TRACE(line);
    EXPECT_EQ(c->Ask(line), "-ERR  Invalid Message Number");
  }
  EXPECT_EQ(c->Ask("STAT"), "+OK 3 " + Total());
}

TEST_F(Pop3Server, RetrSendsTheMessageAsStored) {
  std::string big = "Subject: big\r\n\r\n";
  while (big.size() < 200'000) big += "..a line that starts with a stuffed dot and goes on\r\n";
  big += ".\r\n";
  StoreThree();
  Store(0, 4, big);
  auto c = LoggedIn();
  EXPECT_EQ(c->Ask("RETR 2"), "+OK " + Size(kMessage2) + " octets");
  EXPECT_EQ(c->Bytes(std::string_view(kMessage2).size()), kMessage2);
  EXPECT_EQ(c->Ask("RETR 4"), "+OK " + Size(big) + " octets");
  EXPECT_EQ(c->Bytes(big.size()), big);
  EXPECT_EQ(c->Ask("NOOP"), "+OK");
}

// A file that does not end with its own "." line still gives a reply with an end.
TEST_F(Pop3Server, RetrEndsEveryReply) {
  struct Case {
    std::string stored;
    std::string sent;
  } cases[] = {
      {"no end line\r\n", "no end line\r\n\r\n\r\n.\r\n"},
      {"abc", "abc\r\n\r\n.\r\n"},
      {"", "\r\n\r\n.\r\n"},
      {"x\r\n.\r\n", "x\r\n.\r\n"},
      {"a\r\n.\r\nmore after the end line\r\n",
       "a\r\n.\r\nmore after the end line\r\n\r\n\r\n.\r\n"},
  };
  int k = 0;
  for (const Case& cs : cases) Store(0, ++k, cs.stored);
  auto c = LoggedIn();
  k = 0;
  for (const Case& cs : cases) {
    SCOPED_TRACE(Visible(cs.stored));
    EXPECT_EQ(c->Ask("RETR " + std::to_string(++k)), "+OK " + Size(cs.stored) + " octets");
    EXPECT_EQ(c->Bytes(cs.sent.size()), cs.sent);
  }
  EXPECT_EQ(c->Ask("NOOP"), "+OK");
}

TEST_F(Pop3Server, TopSendsTheHeaderAndBodyLines) {
  StoreThree();
  Store(0, 4, "Subject: no body\r\n.\r\n");
  Store(0, 5, "Subject: " + std::string(502, 'x') + ".\r\n\r\nb\r\n.\r\n");
  auto c = LoggedIn();
  struct Case {
    std::string command;
    std::vector<std::string> want;
  } cases[] = {
      {"TOP 1 0", {"From: a@x.test", "Message-Id: <one@x.test>", "Subject: one", ""}},
      {"top 1 -5", {"From: a@x.test", "Message-Id: <one@x.test>", "Subject: one", ""}},
      {"TOP 1", {"From: a@x.test", "Message-Id: <one@x.test>", "Subject: one", "", "body one"}},
      {"TOP 2 3", {"From: b@x.test", "Subject: two", "", "line 1", "", "line 3"}},
      {"TOP 2 99", {"From: b@x.test", "Subject: two", "", "line 1", "", "line 3", "..dotted"}},
      {"TOP 4 5", {"Subject: no body"}},
      {"TOP 5 1", {"Subject: " + std::string(502, 'x') + ".", "", "b"}},
  };
  for (const Case& cs : cases) {
    SCOPED_TRACE(cs.command);
    EXPECT_EQ(c->Ask(cs.command), "+OK Top of Message Follows");
    EXPECT_EQ(c->Listing(), cs.want);
  }
  EXPECT_EQ(c->Ask("NOOP"), "+OK");
}

TEST_F(Pop3Server, UidlShowsMessageIdentifiers) {
  StoreThree();
  const std::string long_id = "<" + std::string(100, 'i') + "@x.test>";
  Store(0, 4, "Message-Id: " + long_id + "\r\n\r\n.\r\n");
  Store(0, 5, "Message-Id:\r\n\r\n.\r\n");
  auto c = LoggedIn();
  EXPECT_EQ(c->Ask("UIDL"), "+OK unique-id listing follows");
  // Identifiers are cut to the 70 characters clients must take; an empty one is none.
  EXPECT_EQ(c->Listing(),
            (std::vector<std::string>{"1 <one@x.test>", "2 no message id", "3 <folded@x.test>",
                                      "4 " + long_id.substr(0, 70), "5 no message id"}));
  Converse(*c, {{"UIDL 1", "+OK 1 <one@x.test>"},
                {"UIDL 2", "-ERR 2  message ID not found"},
                {"UIDL 3", "+OK 3 <folded@x.test>"},
                {"UIDL 5", "-ERR 5  message ID not found"},
                {"uidl 6", "-ERR  Invalid Message Number"}});
}

TEST_F(Pop3Server, MessagesVanishedSinceLogin) {
  StoreThree();
  auto c = LoggedIn();
  fs::remove(Mailbox(0) / "2");
  Converse(*c, {{"RETR 2", "-ERR  Invalid Message Number"},
                {"TOP 2 0", "-ERR  Invalid Message Number"},
                {"UIDL 2", "-ERR  Invalid Message Number"},
                {"LIST 2", "+OK 2 " + Size(kMessage2)}});
  EXPECT_EQ(c->Ask("UIDL"), "+OK unique-id listing follows");
  EXPECT_EQ(c->Listing(), (std::vector<std::string>{"1 <one@x.test>", "3 <folded@x.test>"}));
}

TEST_F(Pop3Server, DeletionAtQuitAndWhenTheConnectionDrops) {
  struct Case {
    const char* name;
    std::vector<std::string> commands;
    bool quit;
    std::vector<bool> kept;
  } cases[] = {
      {"DELE RSET QUIT", {"DELE 1", "RSET"}, true, {true, true, true}},
      {"DELE QUIT", {"DELE 1", "DELE 3"}, true, {false, true, false}},
      {"DELE dropped", {"DELE 1"}, false, {false, true, true}},
      {"DELE twice", {"DELE 2", "DELE 2"}, true, {true, false, true}},
      {"nothing marked, dropped", {}, false, {true, true, true}},
  };
  for (const Case& cs : cases) {
    SCOPED_TRACE(cs.name);
    StoreThree();
    auto c = LoggedIn();
    for (const std::string& command : cs.commands) EXPECT_EQ(c->Ask(command), "+OK");
    if (cs.quit) {
      EXPECT_EQ(c->Ask("QUIT"), "+OK");
      EXPECT_TRUE(c->ClosedByServer());
    } else {
      c->Close();
    }
    ASSERT_TRUE(WaitUntil([&] { return !InUse(0); }));
    for (int k = 1; k <= 3; ++k) {
      SCOPED_TRACE(k);
      EXPECT_EQ(fs::exists(Mailbox(0) / std::to_string(k)), cs.kept[k - 1]);
    }
  }
}

TEST_F(Pop3Server, ClientDroppingMidRetrReleasesTheMailbox) {
  std::string big(4'000'000, 'x');
  Store(0, 1, big);
  Store(0, 2, kMessage2);
  auto c = LoggedIn();
  Converse(*c, {{"DELE 2", "+OK"}});
  c->Send("RETR 1");
  EXPECT_EQ(c->Line(), "+OK " + Size(big) + " octets");
  EXPECT_EQ(c->Bytes(1000), std::string(1000, 'x'));
  c->Close();
  ASSERT_TRUE(WaitUntil([&] { return !InUse(0); }));
  EXPECT_TRUE(fs::exists(Mailbox(0) / "1"));
  EXPECT_FALSE(fs::exists(Mailbox(0) / "2"));
  auto again = LoggedIn();
  EXPECT_EQ(again->Ask("STAT"), "+OK 1 " + Size(big));
}

TEST_F(Pop3Server, AtMost512MessagesAreListed) {
  for (int k = 1; k <= 600; ++k) Store(0, k, "Subject: " + std::to_string(k) + "\r\n\r\n.\r\n");
  auto c = LoggedIn();
  std::string stat = c->Ask("STAT");
  EXPECT_EQ(stat.substr(0, 8), "+OK 512 ");
  EXPECT_EQ(c->Ask("LIST"), stat.substr(0, 8) + "messages (" + stat.substr(8) + " octets)");
  std::vector<std::string> listing = c->Listing();
  ASSERT_EQ(listing.size(), 512u);
  EXPECT_EQ(c->Ask("LIST 513"), "-ERR  Invalid Message Number");
  // Numbers follow the files' order: message 512 is file 512.
  EXPECT_EQ(c->Ask("TOP 512 0"), "+OK Top of Message Follows");
  EXPECT_EQ(c->Listing(), (std::vector<std::string>{"Subject: 512", ""}));
}

TEST_F(Pop3Server, OnlyFinishedUnheldNumberedFilesAreListed) {
  StoreThree();
  Store(0, 7, "Subject: held\r\n\r\n.\r\n");
  root_.Write("popstore/0/.tmp123", "half a message");
  root_.Write("popstore/0/08", "leading zero");
  root_.Write("popstore/0/note.txt", "not a message");
  fs::create_directories(Mailbox(0) / "9");
  LockedFile held;
  std::string error;
  ASSERT_EQ(held.OpenLocked(Mailbox(0) / "7", Access::ReadOnly, error), LockResult::Locked);
  // A message being delivered has no name until it is complete.
  SpoolItem delivering = settings_.DeliverToMailbox("bob@x.test");
  ASSERT_TRUE(delivering.IsOpen());
  auto c = LoggedIn();
  EXPECT_EQ(c->Ask("STAT"), "+OK 3 " + Total());
  EXPECT_EQ(settings_.CloseItem(delivering), 0);
}

TEST_F(Pop3Server, HostileLines) {
  StoreThree();
  auto c = LoggedIn();
  // Only the first 511 bytes of an over-long line are the command; the rest is no command.
  c->SendRaw("NOOP " + std::string(600, ' ') + "DELE 1\r\n");
  EXPECT_EQ(c->Line(), "+OK");
  c->SendRaw("USER " + std::string(2000, 'u') + "\r\n");
  EXPECT_EQ(c->Line(), "+OK");
  c->SendRaw(std::string("\0\xff\x01RETR 1\r\n", 11));
  EXPECT_EQ(c->Line(), "-ERR Unknown Command");
  c->SendRaw("LIST 1\n");  // a lone LF does not end a line
  EXPECT_TRUE(c->NothingMoreWithin(200ms));
  c->SendRaw("\r\n");
  EXPECT_EQ(c->Line(), "+OK 1 " + Size(kMessage1));
  c->SendRaw("RETR 1\r");  // a CR LF split between packets still ends the line
  c->SendRaw("\nSTAT\r\n");
  EXPECT_EQ(c->Line(), "+OK " + Size(kMessage1) + " octets");
  EXPECT_EQ(c->Bytes(std::string_view(kMessage1).size()), kMessage1);
  EXPECT_EQ(c->Line(), "+OK 3 " + Total());
  EXPECT_EQ(c->Ask("QUIT"), "+OK");
  EXPECT_TRUE(fs::exists(Mailbox(0) / "1"));
}

TEST_F(Pop3Server, EndlessLineEndsTheConnection) {
  StoreThree();
  auto c = LoggedIn();
  EXPECT_EQ(c->Ask("DELE 3"), "+OK");
  std::string chunk(8192, 'z');
  for (long sent = 0; sent <= kPop3MaxDiscardBytes + 16384; sent += 8192) c->SendRaw(chunk);
  EXPECT_TRUE(c->ClosedByServer());
  ASSERT_TRUE(WaitUntil([&] { return !InUse(0); }));
  EXPECT_FALSE(fs::exists(Mailbox(0) / "3"));
}

TEST_F(Pop3Server, StoppingGatewayKeepsMarkedMessages) {
  StoreThree();
  auto c = LoggedIn();
  EXPECT_EQ(c->Ask("DELE 1"), "+OK");
  server_->Shutdown();
  EXPECT_TRUE(c->ClosedByServer());
  EXPECT_FALSE(InUse(0));
  EXPECT_TRUE(fs::exists(Mailbox(0) / "1"));
}

TEST_F(Pop3Server, TooManyConnectionsFromOtherHosts) {
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kMaxConnections; ++i) {
    clients.push_back(std::make_unique<Client>(server_->Port(), "127.0.0.2"));
    ASSERT_TRUE(clients.back()->Connected());
    ASSERT_EQ(clients.back()->Line(), "+OK  POP3 server ready");
  }
  ASSERT_TRUE(WaitUntil([&] { return server_->LiveConnections() == kMaxConnections; }));
  Client extra(server_->Port(), "127.0.0.2");
  EXPECT_EQ(extra.Line(), "-ERR  System Too Busy Please Try Later");
  EXPECT_TRUE(extra.ClosedByServer());
  Client local(server_->Port());
  EXPECT_EQ(local.Line(), "+OK  POP3 server ready");
}

}  // namespace
}  // namespace tarnhold
