#include "transport/listen_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback_socket.h"
#include "tests/support/process_sockets.h"

namespace tarnhold {
namespace {

using namespace std::chrono_literals;
using test::ConnectLoopback;
using test::ReadUntil;
using test::SendText;
using Clock = std::chrono::steady_clock;

std::string Visible(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

// Greets, then answers every read with the bytes it got and whether they ended a line.
class EchoConnection : public CServerConnection {
 public:
  void OnConnect() override {
    Send("hello\r\n");
    std::string line;
    while (ReceiveLine(line, 512) > 0) {
      Send("[" + Visible(line) + (LineComplete() ? "]\n" : "]+\n"));
    }
  }
};

template <typename Connection>
class TestServer : public CListenServer {
 public:
  ~TestServer() override { Shutdown(); }
  CServerConnection* CreateInstance() override { return new Connection; }
  void ReleaseInstance(CServerConnection* c) override { delete c; }
};

bool WaitForLive(const CListenServer& server, int want) {
  auto deadline = Clock::now() + 5s;
  while (server.LiveConnections() != want) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Connects and reads the greeting.
UniqueFd Greeted(int port, const char* from = "127.0.0.1") {
  UniqueFd fd = ConnectLoopback(port, from);
  std::string got;
  EXPECT_TRUE(ReadUntil(fd.Get(), "hello\r\n", got));
  return fd;
}

std::string Exchange(int fd, std::string_view send, std::string_view until) {
  SendText(fd, send);
  std::string got;
  EXPECT_TRUE(ReadUntil(fd, until, got)) << got;
  return got;
}

TEST(ServerConnectionLines, LinesEndAtCrLfOnly) {
  TestServer<EchoConnection> server;
  ASSERT_EQ(server.Start(0, "127.0.0.1"), 0);
  UniqueFd c = Greeted(server.Port());
  EXPECT_EQ(Exchange(c.Get(), "a\r\nb\nc\r\n", "c\\r\\n]\n"), "[a\\r\\n]\n[b\\nc\\r\\n]\n");
}

TEST(ServerConnectionLines, CrLfSplitBetweenPacketsEndsTheLine) {
  TestServer<EchoConnection> server;
  ASSERT_EQ(server.Start(0, "127.0.0.1"), 0);
  UniqueFd c = Greeted(server.Port());
  SendText(c.Get(), "abc\r");
  // The LF only once the server has taken "abc\r", so that the pair comes apart.
  (void)test::WaitUntilPeerHasRead(c.Get(), 2000ms);
  EXPECT_EQ(Exchange(c.Get(), "\ndef\r\n", "def\\r\\n]\n"), "[abc\\r\\n]\n[def\\r\\n]\n");
}

TEST(ServerConnectionLines, LongLinesComeInPieces) {
  TestServer<EchoConnection> server;
  ASSERT_EQ(server.Start(0, "127.0.0.1"), 0);
  UniqueFd c = Greeted(server.Port());
  std::string got = Exchange(c.Get(), std::string(700, 'x') + "\r\n", "\\r\\n]\n");
  EXPECT_EQ(got, "[" + std::string(511, 'x') + "]+\n[" + std::string(189, 'x') + "\\r\\n]\n");

  // A CR that fills the buffer: the LF that follows still ends the same line.
  got = Exchange(c.Get(), std::string(510, 'y') + "\r\n.\r\n", ".\\r\\n]\n");
  EXPECT_EQ(got, "[" + std::string(510, 'y') + "\\r]+\n[\\n]\n[.\\r\\n]\n");
}

TEST(ListenServerDefaults, DefaultHandlersAnswerAndClose) {
  TestServer<CServerConnection> server;
  ASSERT_EQ(server.Start(0, "127.0.0.1"), 0);
  UniqueFd c = ConnectLoopback(server.Port());
  SendText(c.Get(), "anything\r\n");
  std::string got;
  EXPECT_TRUE(test::ReadToClose(c.Get(), got));
  EXPECT_EQ(got, "Connect Successful ... Now Disconnecting.");
}

TEST(ListenServerLimit, TwentyFirstRemoteIsTooManyButLocalIsServed) {
  TestServer<EchoConnection> server;
  ASSERT_EQ(server.Start(0), 0);
  std::vector<UniqueFd> held;
  for (int i = 0; i < kMaxConnections; ++i) {
    SCOPED_TRACE(i);
    held.push_back(Greeted(server.Port(), "127.0.0.2"));
  }
  ASSERT_TRUE(WaitForLive(server, kMaxConnections));

  UniqueFd remote = ConnectLoopback(server.Port(), "127.0.0.2");
  SendText(remote.Get(), "x");
  std::string got;
  EXPECT_TRUE(test::ReadToClose(remote.Get(), got));
  EXPECT_EQ(got, "Too Many Connections, Please Try Later.");

  UniqueFd local = Greeted(server.Port(), "127.0.0.1");
  EXPECT_EQ(Exchange(local.Get(), "hi\r\n", "]\n"), "[hi\\r\\n]\n");
  EXPECT_TRUE(WaitForLive(server, kMaxConnections + 1));

  // Local connections count too; once below the limit, the next remote is served again.
  local.Reset();
  held.pop_back();
  EXPECT_TRUE(WaitForLive(server, kMaxConnections - 1));
  UniqueFd again = Greeted(server.Port(), "127.0.0.2");
  again.Reset();
  held.clear();
  EXPECT_TRUE(WaitForLive(server, 0));
}

TEST(ListenServerStop, StopEndsTheAcceptThreadQuickly) {
  TestServer<EchoConnection> server;
  ASSERT_EQ(server.Start(0), 0);
  EXPECT_EQ(server.Start(0), 1);
  UniqueFd live = Greeted(server.Port());
  auto began = Clock::now();
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_LT(Clock::now() - began, 5s);
  EXPECT_FALSE(server.IsRunning());
  EXPECT_EQ(server.Stop(), 0);
  // A connection in progress goes on after the stop.
  EXPECT_EQ(Exchange(live.Get(), "still\r\n", "]\n"), "[still\\r\\n]\n");
  // The server starts again on the same port at once.
  int port = server.Port();
  ASSERT_EQ(server.Start(static_cast<unsigned>(port)), 0);
  UniqueFd next = Greeted(port);
}

TEST(ListenServerStop, ShutdownEndsLiveConnections) {
  auto server = std::make_unique<TestServer<EchoConnection>>();
  ASSERT_EQ(server->Start(0), 0);
  UniqueFd c = Greeted(server->Port());
  ASSERT_TRUE(WaitForLive(*server, 1));
  auto began = Clock::now();
  server.reset();
  EXPECT_LT(Clock::now() - began, 5s);
  EXPECT_TRUE(test::PeerClosed(c.Get(), 2s));
}

TEST(ListenServerStop, RestartsOnAPortWithClosedConnections) {
  int port;
  {
    TestServer<CServerConnection> server;
    ASSERT_EQ(server.Start(0), 0);
    port = server.Port();
    // The server side closes first, so its end of the connection waits in TIME_WAIT.
    UniqueFd c = ConnectLoopback(port);
    SendText(c.Get(), "x\r\n");
    EXPECT_TRUE(test::PeerClosed(c.Get(), 5s));
  }
  TestServer<CServerConnection> again;
  EXPECT_EQ(again.Start(static_cast<unsigned>(port)), 0);
}

TEST(ListenServerStart, PortTakenIsListenFailure) {
  TestServer<CServerConnection> first;
  ASSERT_EQ(first.Start(0), 0);
  TestServer<CServerConnection> second;
  EXPECT_EQ(second.Start(static_cast<unsigned>(first.Port())), 1);
  EXPECT_EQ(second.Start(0, "not an address"), 1);
}

}  // namespace
}  // namespace tarnhold
