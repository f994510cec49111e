#include "transport/pop3_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/scripted_peer.h"
#include "tests/support/temp_root.h"
#include "transport/pop3_reply.h"

namespace tarnhold {
namespace {

using test::ScriptedPeer;
using test::TempRoot;
using Lines = std::vector<std::string>;

Lines Join(std::initializer_list<Lines> parts) {
  Lines out;
  for (const Lines& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

const Lines kLoggedIn = {"S: +OK ready", "C: USER box", "S: +OK", "C: PASS secret", "S: +OK"};
const Lines kQuit = {"C: Quit", "EOF"};

std::string Host(const ScriptedPeer& peer) { return "127.0.0.1:" + std::to_string(peer.Port()); }

// A client logged in to a peer that plays the login, then `rest`; the script must have run
// to its end by the time the session goes.
struct Session {
  explicit Session(const Lines& rest, long reply_timeout_s = kPop3ReplyTimeoutS)
      : peer(Join({kLoggedIn, rest})) {
    client.SetReplyTimeout(reply_timeout_s);
    EXPECT_EQ(client.Connect(Host(peer), "box", "secret"), kPop3Connected);
  }
  ~Session() {
    client.Close();
    EXPECT_EQ(peer.Finish(), Lines{});
  }
  ScriptedPeer peer;
  CPop3Client client;
};

TEST(Pop3ClientConnect, ResultOfEachStep) {
  struct Case {
    const char* name;
    Lines script;
    int want;
  };
  const Case cases[] = {
      {"logged in", Join({kLoggedIn, kQuit}), kPop3Connected},
      {"a negative greeting is ignored",
       Join({{"S: -ERR busy", "C: USER box", "S: +OK", "C: PASS secret", "S: +OK"}, kQuit}),
       kPop3Connected},
      {"USER refused", {"S: +OK", "C: USER box", "S: -ERR no such box", "C: Quit", "EOF"},
       kPop3UserRefused},
      {"PASS refused",
       {"S: +OK", "C: USER box", "S: +OK", "C: PASS secret", "S: -ERR wrong", "C: Quit", "EOF"},
       kPop3PassRefused},
      {"USER unanswered", {"S: +OK", "C: USER box", "STALL"}, kPop3UserRefused},
      {"closed after PASS", {"S: +OK", "C: USER box", "S: +OK", "C: PASS secret", "CLOSE"},
       kPop3PassRefused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer peer(c.script);
    CPop3Client client;
    client.SetReplyTimeout(1);
    EXPECT_EQ(client.Connect(Host(peer), "box", "secret"), c.want);
    client.Close();
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(peer.Finish(), Lines{});
  }
}

TEST(Pop3ClientConnect, HostAndPort) {
  CPop3Client client;
  EXPECT_EQ(client.Connect("127.0.0.1:" + std::to_string(test::UnusedLoopbackPort()), "a", "b"),
            kPop3NoConnection);
  for (const char* bad : {"127.0.0.1:0", "127.0.0.1:70000", "127.0.0.1:", "127.0.0.1:1x", ":110"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(client.Connect(bad, "a", "b"), kPop3HostUnresolved);
  }
  std::string host;
  unsigned port = 0;
  ASSERT_TRUE(SplitPop3Host("mail.example.test", host, port));
  EXPECT_EQ(host + ":" + std::to_string(port), "mail.example.test:110");
}

TEST(Pop3Replies, PositiveCountAndSize) {
  struct Case {
    const char* reply;
    std::optional<std::uint32_t> count;
    std::optional<std::uint64_t> size;
    bool positive = true;
  };
  const Case cases[] = {
      {"+OK 3 1200", 3, 1200},
      {"+OK 0 0\r\n", 0, 0},
      {"+OK  7   99  extra", 7, 99},
      {"+OK", std::nullopt, std::nullopt},
      {"+OK 4", 4, std::nullopt},
      {"+OK -1 5", std::nullopt, 5},
      {"+OK 12x 5y", std::nullopt, std::nullopt},
      {"+OK 1000000000 1", std::nullopt, 1},
      {"+OK 1 99999999999999999999999", 1, std::nullopt},
      {"-ERR", std::nullopt, std::nullopt, false},
      {"", std::nullopt, std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    EXPECT_EQ(IsPositivePop3Reply(c.reply), c.positive);
    if (!c.positive) continue;
    EXPECT_EQ(Pop3StatCount(c.reply), c.count);
    EXPECT_EQ(Pop3ListSize(c.reply), c.size);
  }
}

TEST(Pop3ClientCommands, StatListDele) {
  Session s({"C: STAT", "S: +OK 2 320", "C: LIST 2", "S: +OK 2 200", "C: DELE 1",
             "S: -ERR no such message", "C: STAT", "S: +OK", "C: DELE 2", "S: +OK", "C: Quit",
             "EOF"});
  std::uint32_t count = 0;
  std::uint64_t size = 0;
  EXPECT_EQ(s.client.Count(count), kPop3Ok);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(s.client.ListSize(2, size), kPop3Ok);
  EXPECT_EQ(size, 200u);
  EXPECT_EQ(s.client.Delete(1), kPop3Negative);
  EXPECT_EQ(s.client.Count(count), kPop3NoNumber);
  EXPECT_EQ(s.client.Delete(2), kPop3Ok);
  s.client.Close();
  EXPECT_EQ(s.client.Count(count), kPop3NotConnected);
}

TEST(Pop3ClientRetrieve, DotStuffingUndoneWholeAndByteByByte) {
  // First a line longer than a read piece whose next piece begins with a dot: only a dot at
  // the start of a line is stuffing.
  const std::string long_line = std::string(kPop3DataPieceSize - 1, 'a') + ".b\r\n";
  const std::string wire =
      long_line + "Subject: dots\r\n\r\n..leading dot\r\n...\r\n.x\r\na.\r\n..\r\n.\r\n";
  for (bool byte_by_byte : {false, true}) {
    SCOPED_TRACE(byte_by_byte ? "byte by byte" : "whole");
    Lines rest = {"C: RETR 1", "S: +OK"};
    if (byte_by_byte) {
      for (char c : wire) rest.push_back(std::string("R: ") + c);
    } else {
      rest.push_back("R: " + wire);
    }
    rest.insert(rest.end(), kQuit.begin(), kQuit.end());
    TempRoot root;
    Session s(rest);
    EXPECT_EQ(s.client.Retrieve(1, root / "1"), kPop3Ok);
    EXPECT_EQ(TempRoot::Read(root / "1"),
              long_line + "Subject: dots\r\n\r\n.leading dot\r\n..\r\nx\r\na.\r\n.\r\n");
  }
}

TEST(Pop3ClientRetrieve, FailuresDropTheConnection) {
  struct Case {
    const char* name;
    Lines after_retr;
    std::uint64_t max_bytes;
    int want;
    bool still_connected;
  };
  const Case cases[] = {
      {"negative reply", {"S: -ERR no such message"}, 0, kRetrNegative, true},
      {"no reply", {"STALL"}, 0, kRetrNoReply, false},
      {"data stalls", {"S: +OK", "S: Subject: half", "STALL"}, 0, kRetrDataStopped, false},
      {"data cut off", {"S: +OK", "S: Subject: half", "CLOSE"}, 0, kRetrDataStopped, false},
      {"larger than the bound",
       {"S: +OK", "S: 0123456789", "S: 0123456789", "STALL"}, 16, kRetrTooLarge, false},
      {"exactly the bound", {"S: +OK", "S: 0123456789ABCD", "S: ."}, 16, kPop3Ok, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempRoot root;
    Lines rest = Join({{"C: RETR 1"}, c.after_retr});
    if (c.still_connected) rest.insert(rest.end(), kQuit.begin(), kQuit.end());
    Session s(rest, 1);
    EXPECT_EQ(s.client.Retrieve(1, root / "1", c.max_bytes), c.want);
    EXPECT_EQ(s.client.Connected(), c.still_connected);
  }
}

TEST(Pop3ClientRetrieve, FileThatCannotBeCreated) {
  TempRoot root;
  Session s(kQuit);
  EXPECT_EQ(s.client.Retrieve(1, root / "missing" / "1"), kRetrFileFailed);
  EXPECT_TRUE(s.client.Connected());
}

}  // namespace
}  // namespace tarnhold
