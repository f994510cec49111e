#include "transport/local_mail.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/scripted_peer.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::ScriptedPeer;
using Lines = std::vector<std::string>;

Lines Copy(const std::string& rcpt, const Lines& body) {
  Lines out = {"C: MAIL from:<admin@gw.test>",
               "S: 250 OK",
               "C: RCPT to:<" + rcpt + ">",
               "S: 250 OK",
               "C: DATA",
               "S: 354 go ahead",
               "C: From: admin@gw.test",
               "C: To: " + rcpt,
               "C: Subject: RE: Your message",
               "C: Date: *",
               "C: Auto-Submitted: auto-generated",
               "C: "};
  out.insert(out.end(), body.begin(), body.end());
  out.insert(out.end(), {"C: .", "S: 250 Mail Received OK"});
  return out;
}

Lines Script(std::initializer_list<Lines> parts) {
  Lines out = {"S: 220 gw.test Service Ready", "C: HELO local", "S: 250 gw.test local"};
  for (const Lines& part : parts) out.insert(out.end(), part.begin(), part.end());
  out.insert(out.end(), {"C: Quit", "EOF"});
  return out;
}

void ExpectScriptRan(ScriptedPeer& peer) {
  for (const std::string& failure : peer.Finish()) ADD_FAILURE() << failure;
}

TEST(SendLocalMail, TextAndFileToEveryRecipient) {
  test::TempRoot root;
  // A reply text written on another platform: CR LF, a bare LF and a leading dot.
  auto file = root.Write("text/reply.txt", "Your message was held.\r\n.signature\nend\r\n");
  const Lines body = {"C: Dear sender,", "C: Your message was held.", "C: ..signature", "C: end",
                      "C: "};
  ScriptedPeer peer(Script({Copy("one@example.test", body), Copy("two@example.test", body)}));
  EXPECT_EQ(
      SendLocalMail(static_cast<std::uint16_t>(peer.Port()), "one@example.test,two@example.test",
                    "admin@gw.test", "RE: Your message", "Dear sender,", file),
      kLocalMailSent);
  ExpectScriptRan(peer);
  // Every line went out ending in CR LF, the file's bare LF included.
  std::string sent = peer.Received();
  for (std::size_t at = sent.find('\n'); at != std::string::npos; at = sent.find('\n', at + 1)) {
    ASSERT_TRUE(at > 0 && sent[at - 1] == '\r') << "bare LF at byte " << at;
  }
}

TEST(SendLocalMail, TextAlone) {
  ScriptedPeer peer(Script({Copy("one@example.test", {"C: Triggered on message"})}));
  EXPECT_EQ(SendLocalMail(static_cast<std::uint16_t>(peer.Port()), "one@example.test",
                          "admin@gw.test", "RE: Your message", "Triggered on message"),
            kLocalMailSent);
  ExpectScriptRan(peer);
}

TEST(SendLocalMail, NoConnection) {
  EXPECT_EQ(SendLocalMail(static_cast<std::uint16_t>(test::UnusedLoopbackPort()), "a@b.test",
                          "admin@gw.test", "s", "t"),
            kLocalMailNoConnection);
  ScriptedPeer refusing({"S: 220 ready", "C: HELO local", "S: 421 closing", "C: Quit", "EOF"});
  EXPECT_EQ(SendLocalMail(static_cast<std::uint16_t>(refusing.Port()), "a@b.test", "admin@gw.test",
                          "s", "t"),
            kLocalMailNoConnection);
  ExpectScriptRan(refusing);
}

TEST(SendLocalMail, FailedTransaction) {
  test::TempRoot root;
  {
    SCOPED_TRACE("recipient refused");
    ScriptedPeer peer(Script({{"C: MAIL from:<admin@gw.test>", "S: 250 OK", "C: RCPT to:<a@b.test>",
                               "S: 550 no", "C: RSET", "S: 250 Ok"}}));
    EXPECT_EQ(SendLocalMail(static_cast<std::uint16_t>(peer.Port()), "a@b.test", "admin@gw.test",
                            "s", "t"),
              kLocalMailFailed);
    ExpectScriptRan(peer);
  }
  {
    SCOPED_TRACE("text file missing: nothing is sent");
    ScriptedPeer peer(Script({}));
    EXPECT_EQ(SendLocalMail(static_cast<std::uint16_t>(peer.Port()), "a@b.test", "admin@gw.test",
                            "s", "t", root / "text" / "missing.txt"),
              kLocalMailFailed);
    ExpectScriptRan(peer);
  }
  {
    SCOPED_TRACE("nobody to send to");
    ScriptedPeer peer(Script({}));
    EXPECT_EQ(SendLocalMail(static_cast<std::uint16_t>(peer.Port()), "", "admin@gw.test", "s", "t"),
              kLocalMailFailed);
    ExpectScriptRan(peer);
  }
}

}  // namespace
}  // namespace tarnhold
