#include "transport/smtp_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "message/uu_file_list.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::ScriptedPeer;
using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

Lines Join(std::initializer_list<Lines> parts) {
  Lines out;
  for (const Lines& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

const Lines kGreeted = {"S: 220 peer.test ready", "C: HELO local", "S: 250 peer.test"};

// The commands of one accepted transaction up to the go-ahead for the data.
Lines Envelope(const std::string& from, const std::string& rcpt) {
  return {"C: MAIL from:<" + from + ">",
          "S: 250 OK",
          "C: RCPT to:<" + rcpt + ">",
          "S: 250 OK",
          "C: DATA",
          "S: 354 go ahead"};
}

// The generated header lines and the empty line after them.
Lines Header(const std::string& from, const std::string& to, const std::string& subject) {
  return {"C: From: " + from, "C: To: " + to, "C: Subject: " + subject, "C: Date: *", "C: "};
}

const Lines kAccepted = {"C: .", "S: 250 queued"};
const Lines kQuit = {"C: Quit", "EOF"};

void ExpectScriptRan(ScriptedPeer& peer) {
  for (const std::string& failure : peer.Finish()) ADD_FAILURE() << failure;
}

TEST(SmtpClientConnect, GreetingAndHelo) {
  ScriptedPeer peer(Join({kGreeted, kQuit}));
  CSmtpClient client;
  ASSERT_EQ(client.Connect("127.0.0.1", "local", peer.Port()), kSmtpConnected);
  client.Close();
  ExpectScriptRan(peer);
}

TEST(SmtpClientConnect, MultiLineRepliesAreReadToTheirLastLine) {
  // Dashes straight after the code and a dash followed by a space: both go on.
  ScriptedPeer peer({"S: 220-peer.test", "S: 220- more greeting", "S: 220 ready", "C: HELO local",
                     "S: 250-peer.test", "S: 250- PIPELINING", "S: 250 8BITMIME", "C: Quit",
                     "EOF"});
  CSmtpClient client;
  ASSERT_EQ(client.Connect("127.0.0.1", "local", peer.Port()), kSmtpConnected);
  EXPECT_EQ(client.LastReply().lines.size(), 3u);
  client.Close();
  ExpectScriptRan(peer);
}

TEST(SmtpClientConnect, Failures) {
  {
    SCOPED_TRACE("HELO refused: the connection is closed with Quit");
    ScriptedPeer peer({"S: 220 ready", "C: HELO local", "S: 501 who are you", "C: Quit", "EOF"});
    CSmtpClient client;
    EXPECT_EQ(client.Connect("127.0.0.1", "local", peer.Port()), kSmtpHeloRefused);
    EXPECT_LT(client.GetSocket(), 0);
    ExpectScriptRan(peer);
  }
  {
    SCOPED_TRACE("nobody listens");
    CSmtpClient client;
    EXPECT_EQ(client.Connect("127.0.0.1", "local", test::UnusedLoopbackPort()), kSmtpConnectFailed);
  }
  {
    SCOPED_TRACE("no host name");
    CSmtpClient client;
    EXPECT_EQ(client.Connect("", "local", 25), kSmtpHostUnresolved);
  }
}

TEST(SmtpClientSend, OneRecipientWithDotsDoubled) {
  ScriptedPeer peer(Join({kGreeted,
                          Envelope("admin@gw.test", "user@example.test"),
                          Header("admin@gw.test", "user@example.test", "Notice"),
                          {"C: first line", "C: ..dot line", "C: ..", "C: last line"},
                          kAccepted,
                          kQuit}));
  CSmtpClient client;
  ASSERT_EQ(client.Connect("127.0.0.1", "local", peer.Port()), kSmtpConnected);
  EXPECT_EQ(client.Send("user@example.test", "admin@gw.test", "Notice",
                        "first line\r\n.dot line\r\n.\r\nlast line"),
            kSmtpSent);
  client.Close();
  ExpectScriptRan(peer);
}

TEST(SmtpClientSend, EachRecipientGetsItsOwnTransaction) {
  // Two to recipients and one cc: three transactions; the cc copy's To header is the whole
  // to list, and every copy carries the cc line.
  auto copy = [](const std::string& rcpt, const std::string& to) {
    return Join({Envelope("a@gw.test", rcpt),
                 Header("a@gw.test", to, "Hi"),
                 {"C: cc: <c@z.test>", "C: ", "C: body"},
                 kAccepted});
  };
  Lines script = Join({kGreeted});
  for (const Lines& part : {copy("x@y.test", "x@y.test"), copy("w@y.test", "Walter <w@y.test>"),
                            copy("c@z.test", "x@y.test, Walter <w@y.test>"), kQuit}) {
    script = Join({script, part});
  }
  // The header helper ends with the empty line; here the cc line comes before it.
  for (std::size_t i = 0; i < script.size(); ++i) {
    if (script[i] == "C: " && i + 1 < script.size() && script[i + 1] == "C: cc: <c@z.test>") {
      script.erase(script.begin() + static_cast<long>(i));
    }
  }
  ScriptedPeer peer(script);
  CSmtpClient client;
  ASSERT_EQ(client.Connect("127.0.0.1", "local", peer.Port()), kSmtpConnected);
  EXPECT_EQ(client.Send("x@y.test, Walter <w@y.test>", "a@gw.test", "Hi", "body", "<c@z.test>"),
            kSmtpSent);
  client.Close();
  ExpectScriptRan(peer);
}

TEST(SmtpClientSend, BccGetsACopyWithoutAHeaderLine) {
  ScriptedPeer peer(Join({kGreeted,
                          Envelope("a@gw.test", "x@y.test"),
                          Header("a@gw.test", "x@y.test", "s"),
                          {"C: t"},
                          kAccepted,
                          Envelope("a@gw.test", "hidden@z.test"),
                          Header("a@gw.test", "x@y.test", "s"),
                          {"C: t"},
                          kAccepted,
                          kQuit}));
  CSmtpClient client;
  ASSERT_EQ(client.Connect("127.0.0.1", "local", peer.Port()), kSmtpConnected);
  EXPECT_EQ(client.Send("x@y.test", "a@gw.test", "s", "t", "", "hidden@z.test"), kSmtpSent);
  client.Close();
  ExpectScriptRan(peer);
}

TEST(SmtpClientSend, ExtraHeadersFollowTheGeneratedOnes) {
  ScriptedPeer peer(Join({kGreeted,
                          Envelope("a@gw.test", "x@y.test"),
                          {"C: From: a@gw.test", "C: To: x@y.test", "C: Subject: s", "C: Date: *",
                           "C: MIME-Version: 1.0", "C: X-Folded: one", "C: \ttwo", "C: ", "C: t"},
                          kAccepted,
                          kQuit}));
  CSmtpClient client;
  client.AddExtraHeader("MIME-Version: 1.0\r\n");
  client.AddExtraHeader("X-Folded: one\r\n\ttwo");
  ASSERT_EQ(client.Connect("127.0.0.1", "local", peer.Port()), kSmtpConnected);
  EXPECT_EQ(client.Send("x@y.test", "a@gw.test", "s", "t"), kSmtpSent);
  client.Close();
  ExpectScriptRan(peer);
}

TEST(SmtpClientSend, FilesFollowTheTextAfterAnEmptyLine) {
  test::TempRoot root;
  auto one = root.Write("one.txt", "begin 660 a\r\n.dot stays doubled\r\nend\r\n");
  auto two = root.Write("two.bin", std::string("\x01\x02\0raw\n.x", 9));
  ScriptedPeer peer(Join({kGreeted,
                          Envelope("a@gw.test", "x@y.test"),
                          Header("a@gw.test", "x@y.test", "files"),
                          {"C: .. text", "C: ", "C: begin 660 a", "C: ..dot stays doubled",
                           "C: end", "C: ", "C: ", "C: *", "C: ..x", "C: .", "S: 250 queued"},
                          kQuit}));
  CSmtpClient client;
  ASSERT_EQ(client.Connect("127.0.0.1", "local", peer.Port()), kSmtpConnected);
  EXPECT_EQ(client.Send("x@y.test", "a@gw.test", "files", ". text", "", "", {one, two}), kSmtpSent);
  client.Close();
  ExpectScriptRan(peer);
  // The binary file arrives byte for byte, its bare LF included.
  EXPECT_NE(peer.Received().find(std::string("\x01\x02\0raw\n..x\r\n.\r\n", 14)),
            std::string::npos);
}

TEST(SmtpClientSend, NoFilesMeansNoSeparator) {
  ScriptedPeer peer(Join({kGreeted,
                          Envelope("a@gw.test", "x@y.test"),
                          Header("a@gw.test", "x@y.test", "s"),
                          {"C: text only"},
                          kAccepted,
                          kQuit}));
  CSmtpClient client;
  ASSERT_EQ(client.Connect("127.0.0.1", "local", peer.Port()), kSmtpConnected);
  EXPECT_EQ(client.Send("x@y.test", "a@gw.test", "s", "text only"), kSmtpSent);
  client.Close();
  ExpectScriptRan(peer);
  EXPECT_NE(peer.Received().find("\r\n\r\ntext only\r\n.\r\n"), std::string::npos);
}

TEST(SmtpClientSend, SendWithFilesUuencodesTheFileList) {
  test::TempRoot root;
  CUuFileList files;
  ASSERT_EQ(files.AddFile(root.Write("report.txt", "hello")), 0);
  ScriptedPeer peer(Join({kGreeted,
                          Envelope("a@gw.test", "x@y.test"),
                          Header("a@gw.test", "x@y.test", "s"),
                          {"C: body", "C: ", "C: begin 660 report.txt", "C: *", "C: end",
                           "C: ", "C: .", "S: 250 queued"},
                          kQuit}));
  CSmtpClient client;
  ASSERT_EQ(client.Connect("127.0.0.1", "local", peer.Port()), kSmtpConnected);
  EXPECT_EQ(client.SendWithFiles("x@y.test", "a@gw.test", "s", "body", "", files), kSmtpSent);
  client.Close();
  ExpectScriptRan(peer);
}

TEST(SmtpClientSend, EmptyFileListSendsTheTextAlone) {
  ScriptedPeer peer(Join({kGreeted,
                          Envelope("a@gw.test", "x@y.test"),
                          Header("a@gw.test", "x@y.test", "s"),
                          {"C: body"},
                          kAccepted,
                          kQuit}));
  CSmtpClient client;
  CUuFileList none;
  ASSERT_EQ(client.Connect("127.0.0.1", "local", peer.Port()), kSmtpConnected);
  EXPECT_EQ(client.SendWithFiles("x@y.test", "a@gw.test", "s", "body", "", none), kSmtpSent);
  client.Close();
  ExpectScriptRan(peer);
}

TEST(SmtpClientRefusals, EachStepHasItsCode) {
  struct Case {
    const char* name;
    Lines exchange;
    int want;
  } cases[] = {
      {"MAIL refused", {"C: MAIL from:<a@gw.test>", "S: 451 try later"}, kSmtpMailRefused},
      {"RCPT refused, then RSET",
       {"C: MAIL from:<a@gw.test>", "S: 250 OK", "C: RCPT to:<x@y.test>", "S: 550 unknown",
        "C: RSET", "S: 250 reset"},
       kSmtpRcptRefused},
      {"DATA not 354, then RSET",
       {"C: MAIL from:<a@gw.test>", "S: 250 OK", "C: RCPT to:<x@y.test>", "S: 250 OK", "C: DATA",
        "S: 250 odd", "C: RSET", "S: 250 reset"},
       kSmtpDataRefused},
      {"message refused after its data",
       Join({Envelope("a@gw.test", "x@y.test"),
             Header("a@gw.test", "x@y.test", "s"),
             {"C: t", "C: .", "S: 554 no thanks"}}),
       kSmtpMailRefused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer peer(Join({kGreeted, c.exchange, kQuit}));
    CSmtpClient client;
    ASSERT_EQ(client.Connect("127.0.0.1", "local", peer.Port()), kSmtpConnected);
    EXPECT_EQ(client.Send("x@y.test", "a@gw.test", "s", "t"), c.want);
    client.Close();
    ExpectScriptRan(peer);
  }
}

TEST(SmtpClientRefusals, RefusedRecipientEndsTheSend) {
  // The first copy went out; the refusal of the second ends the send, the third is not tried.
  ScriptedPeer peer(Join({kGreeted,
                          Envelope("a@gw.test", "one@y.test"),
                          Header("a@gw.test", "one@y.test", "s"),
                          {"C: t"},
                          kAccepted,
                          {"C: MAIL from:<a@gw.test>", "S: 250 OK", "C: RCPT to:<two@y.test>",
                           "S: 550 no such user", "C: RSET", "S: 250 reset"},
                          kQuit}));
  CSmtpClient client;
  ASSERT_EQ(client.Connect("127.0.0.1", "local", peer.Port()), kSmtpConnected);
  EXPECT_EQ(client.Send("one@y.test,two@y.test,three@y.test", "a@gw.test", "s", "t"),
            kSmtpRcptRefused);
  client.Close();
  ExpectScriptRan(peer);
}

TEST(SmtpClientRefusals, CheckedBeforeAnythingIsSent) {
  test::TempRoot root;
  struct Case {
    const char* name;
    std::string to;
    std::string from;
    std::vector<std::filesystem::path> files;
    int want;
  } cases[] = {
      {"no recipient", "", "a@gw.test", {}, kSmtpBadRecipient},
      {"blank recipients", " , ,", "a@gw.test", {}, kSmtpBadRecipient},
      {"short address", "<ab>", "a@gw.test", {}, kSmtpBadRecipient},
      {"address too long for the list",
       "a@b.test," + std::string(600, 'x') + "@y.test",
       "a@gw.test",
       {},
       kSmtpBadRecipient},
      {"attached file missing", "x@y.test", "a@gw.test", {root / "missing"}, kSmtpFileUnreadable},
      {"attached file is a folder", "x@y.test", "a@gw.test", {root.Path()}, kSmtpFileUnreadable},
      {"sender with a line break",
       "x@y.test",
       "a@gw.test>\r\nRCPT to:<evil@x.test",
       {},
       kSmtpMailRefused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The long list sends its first copy before it meets the bad element.
    Lines script = kGreeted;
    if (c.to.starts_with("a@b.test")) {
      script = Join({script,
                     Envelope("a@gw.test", "a@b.test"),
                     Header("a@gw.test", "a@b.test", "s"),
                     {"C: t"},
                     kAccepted});
    }
    ScriptedPeer peer(Join({script, kQuit}));
    CSmtpClient client;
    ASSERT_EQ(client.Connect("127.0.0.1", "local", peer.Port()), kSmtpConnected);
    EXPECT_EQ(client.Send(c.to, c.from, "s", "t", "", "", c.files), c.want);
    client.Close();
    ExpectScriptRan(peer);
  }
}

TEST(SmtpClientRefusals, NotConnected) {
  CSmtpClient client;
  EXPECT_EQ(client.Send("x@y.test", "a@gw.test", "s", "t"), kSmtpNotConnected);
  ScriptedPeer peer(Join({kGreeted, {"CLOSE"}}));
  ASSERT_EQ(client.Connect("127.0.0.1", "local", peer.Port()), kSmtpConnected);
  ExpectScriptRan(peer);
  EXPECT_EQ(client.Send("x@y.test", "a@gw.test", "s", "t"), kSmtpNotConnected);
}

TEST(SmtpClientHeaders, LineBreaksInValuesCannotAddHeaders) {
  ScriptedPeer peer(Join({kGreeted,
                          Envelope("a@gw.test", "x@y.test"),
                          Header("a@gw.test", "x@y.test", "hi  Bcc: victim@z.test"),
                          {"C: t"},
                          kAccepted,
                          kQuit}));
  CSmtpClient client;
  ASSERT_EQ(client.Connect("127.0.0.1", "local", peer.Port()), kSmtpConnected);
  EXPECT_EQ(client.Send("x@y.test", "a@gw.test", "hi\r\nBcc: victim@z.test", "t"), kSmtpSent);
  client.Close();
  ExpectScriptRan(peer);
}

TEST(RecipientAddress, TakesTheAddressOutOfTheText) {
  struct Case {
    const char* text;
    const char* want;
  } cases[] = {
      {"user@example.test", "user@example.test"},
      {" user@example.test", "user@example.test"},
      {"<user@example.test>", "user@example.test"},
      {"Some One <one@example.test>", "one@example.test"},
      {"\"Doe <not this>\" <doe@example.test>", "doe@example.test"},
      {"user@example.test (comment)", "user@example.test"},
      {"<open@example.test", "open@example.test"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(RecipientAddress(c.text), c.want);
  }
}

// Hostile or broken servers: every case ends with a clear code, the client giving up on its
// own reply time-out rather than waiting for the server.
TEST(SmtpClientHostilePeer, BoundedAndClear) {
  const std::string long_line = "250 " + std::string(20000, 'x');
  Lines endless;
  for (int i = 0; i < 300; ++i) endless.push_back("S: 250-again and again");
  struct Case {
    const char* name;
    Lines peer_side;  // after the greeting and the MAIL command
    int want;
    bool still_connected;
  } cases[] = {
      {"reply line longer than any buffer is one line",
       {"S: " + long_line, "C: RCPT to:<x@y.test>", "S: 550 no", "C: RSET", "S: 250 ok"},
       kSmtpRcptRefused,
       true},
      {"never-ending multi-line reply", Join({endless, {"STALL"}}), kSmtpMailRefused, false},
      {"server stalls", {"STALL"}, kSmtpMailRefused, false},
      {"server trickles a line that never ends",
       {"R: 250-", "R: abc", "STALL"},
       kSmtpMailRefused,
       false},
      {"server closes mid-reply", {"R: 250-half", "CLOSE"}, kSmtpMailRefused, false},
      {"binary bytes and no code",
       {std::string("S: \x01\x02\xff\0junk", 11), "C: Quit", "EOF"},
       kSmtpMailRefused,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer peer(Join({kGreeted, {"C: MAIL from:<a@gw.test>"}, c.peer_side}),
                      milliseconds(5000));
    CSmtpClient client;
    client.SetReplyTimeout(milliseconds(1000));
    ASSERT_EQ(client.Connect("127.0.0.1", "local", peer.Port()), kSmtpConnected);
    // A peer that stalls waits for the client to close, and fails the script when the client
    // waited for it instead (the peer's step time-out is five times the reply time-out).
    EXPECT_EQ(client.Send("x@y.test", "a@gw.test", "s", "t"), c.want);
    EXPECT_EQ(client.GetSocket() >= 0, c.still_connected);
    client.Close();
    ExpectScriptRan(peer);
  }
}

TEST(SmtpClientHostilePeer, NoGreeting) {
  ScriptedPeer peer({"STALL"});
  CSmtpClient client;
  client.SetReplyTimeout(milliseconds(500));
  // The peer's STALL fails the script unless the client gives up and closes on its own.
  EXPECT_EQ(client.Connect("127.0.0.1", "local", peer.Port()), kSmtpHeloRefused);
  EXPECT_LT(client.GetSocket(), 0);
  ExpectScriptRan(peer);
}

// A client whose progress hook stops after the first block.
class StoppingClient : public CSmtpClient {
 public:
  int SendProgress(long long bytes_sent, long long total) override {
    calls_.push_back(bytes_sent);
    total_ = total;
    return 0;
  }
  std::vector<long long> calls_;
  long long total_ = 0;
};

TEST(SmtpClientProgress, StopLeavesTheMessageUnfinished) {
  // The peer sees the data begin and then the connection end, never the final "." line.
  ScriptedPeer peer(Join({kGreeted, Envelope("a@gw.test", "x@y.test"), {"EOF"}}));
  StoppingClient client;
  ASSERT_EQ(client.Connect("127.0.0.1", "local", peer.Port()), kSmtpConnected);
  std::string text(3 * kSmtpDataBlockBytes, 'a');
  EXPECT_EQ(client.Send("x@y.test", "a@gw.test", "s", text), kSmtpStopped);
  EXPECT_LT(client.GetSocket(), 0);
  (void)peer.Finish();
  EXPECT_EQ(peer.Received().find("\r\n.\r\n"), std::string::npos);
  EXPECT_EQ(client.calls_, std::vector<long long>{static_cast<long long>(kSmtpDataBlockBytes)});
  EXPECT_EQ(client.total_, static_cast<long long>(text.size()));
}

TEST(SmtpClientSend, LargeTextGoesOutWhole) {
  // Lines that begin with a dot on every block boundary and elsewhere.
  std::string text;
  for (int i = 0; i < 20000; ++i)
    text += (i % 7 == 0 ? ".line " : "line ") + std::to_string(i) + "\n";
  Lines script =
      Join({kGreeted, Envelope("a@gw.test", "x@y.test"), Header("a@gw.test", "x@y.test", "big")});
  for (int i = 0; i < 20000; ++i) {
    script.push_back(std::string("C: ") + (i % 7 == 0 ? "..line " : "line ") + std::to_string(i));
  }
  script = Join({script, {"C: ", "C: .", "S: 250 queued"}, kQuit});
  ScriptedPeer peer(script);
  CSmtpClient client;
  ASSERT_EQ(client.Connect("127.0.0.1", "local", peer.Port()), kSmtpConnected);
  EXPECT_EQ(client.Send("x@y.test", "a@gw.test", "big", text), kSmtpSent);
  client.Close();
  ExpectScriptRan(peer);
}

}  // namespace
}  // namespace tarnhold
