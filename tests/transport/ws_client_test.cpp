#include "transport/ws_client.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <memory>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback_socket.h"
#include "tests/support/process_sockets.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::LoopbackListener;
using test::SendText;

// A client connected to a fresh listener; `server` is the accepted far side.
struct ConnectedPair {
  LoopbackListener listener;
  CUT_WSClient client;
  UniqueFd server;

  ConnectedPair() {
    EXPECT_EQ(client.Connect(listener.Port(), "127.0.0.1"), kWsSuccess);
    server = listener.Accept();
    EXPECT_TRUE(server.Valid());
  }
};

// Records every code that passes the error hook.
class RecordingClient : public CUT_WSClient {
 public:
  int OnError(int code) override {
    codes.push_back(code);
    return code;
  }
  std::vector<int> codes;
};

TEST(WsClientConnect, BlockingAndWithTimeOut) {
  LoopbackListener listener;
  for (long timeout_s : {-1L, 0L, 5L}) {
    SCOPED_TRACE(timeout_s);
    CUT_WSClient client;
    EXPECT_EQ(client.Connect(listener.Port(), "127.0.0.1", timeout_s), kWsSuccess);
    EXPECT_EQ(client.RemoteHost(), "127.0.0.1");
    EXPECT_EQ(client.RemotePort(), static_cast<unsigned>(listener.Port()));
    EXPECT_NE(client.LocalPort(), 0u);
    EXPECT_TRUE(client.IsConnected());
    EXPECT_EQ(client.Connect(listener.Port(), "127.0.0.1", timeout_s), kWsAlreadyConnected);
    UniqueFd far = listener.Accept();
    EXPECT_EQ(client.CloseConnection(), kWsSuccess);
    EXPECT_FALSE(client.IsConnected());
  }
}

TEST(WsClientConnect, RefusedPortIsConnectFailed) {
  int port;
  {
    LoopbackListener gone;
    port = gone.Port();
  }
  for (long timeout_s : {-1L, 5L}) {
    SCOPED_TRACE(timeout_s);
    RecordingClient client;
    EXPECT_EQ(client.Connect(port, "127.0.0.1", timeout_s), kWsConnectFailed);
    EXPECT_EQ(client.GetSocket(), -1);
    EXPECT_EQ(client.codes.back(), kWsConnectFailed);
  }
}

TEST(WsClientConnect, TimeOutWhenTheListenerTakesNoMore) {
  // A listener that never accepts and has a full queue drops further handshakes.
  LoopbackListener listener(0);
  std::vector<std::unique_ptr<CUT_WSClient>> queued;
  for (int i = 0; i < 8; ++i) {
    queued.push_back(std::make_unique<CUT_WSClient>());
    if (queued.back()->Connect(listener.Port(), "127.0.0.1", 1) == kWsConnectTimedOut) {
      EXPECT_EQ(queued.back()->GetSocket(), -1);
      return;
    }
  }
  GTEST_SKIP() << "the kernel kept accepting handshakes into a full queue";
}

TEST(WsClientResolve, TakesTheHostAfterTheLastAt) {
  CUT_WSClient client;
  std::string out;
  EXPECT_EQ(client.ResolveHost("someone@other@localhost", out), kWsSuccess);
  EXPECT_EQ(out, "127.0.0.1");
  EXPECT_EQ(client.ResolveHost("localhost", out, 9), kWsBufferTooSmall);
  EXPECT_EQ(client.ResolveHost("localhost", out, 10), kWsSuccess);
  EXPECT_EQ(client.ResolveHost("someone@", out), kWsHostNotFound);
  EXPECT_TRUE(CUT_WSClient::IsIPAddress("127.0.0.1"));
  EXPECT_FALSE(CUT_WSClient::IsIPAddress("localhost"));
  EXPECT_FALSE(CUT_WSClient::IsIPAddress(""));
}

TEST(WsClientLines, LinesEndAtLineFeed) {
  ConnectedPair p;
  SendText(p.server.Get(), "one\r\ntwo\nthree");
  std::string line;
  EXPECT_EQ(p.client.ReceiveLine(line, 100, 5), 5);
  EXPECT_EQ(line, "one\r\n");
  EXPECT_EQ(p.client.ReceiveLine(line, 100, 5), 4);
  EXPECT_EQ(line, "two\n");
  // No line feed follows: the time-out ends the read with what came.
  EXPECT_EQ(p.client.ReceiveLine(line, 100, 1), 5);
  EXPECT_EQ(line, "three");
}

TEST(WsClientLines, LongLineComesInPieces) {
  ConnectedPair p;
  std::string long_line(700, 'x');
  long_line += "\n";
  SendText(p.server.Get(), long_line + "next\n");
  std::string line;
  EXPECT_EQ(p.client.ReceiveLine(line, 512, 5), 511);
  EXPECT_EQ(p.client.ReceiveLine(line, 512, 5), 190);
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(p.client.ReceiveLine(line, 512, 5), 5);
  EXPECT_EQ(line, "next\n");
}

TEST(WsClientLines, LineSplitOverPacketsIsOneLine) {
  ConnectedPair p;
  std::thread sender([&] {
    SendText(p.server.Get(), "250-first ");
    // The rest only once the reader has taken the first piece, so that it comes apart.
    (void)test::WaitUntilPeerHasRead(p.server.Get(), std::chrono::milliseconds(2000));
    SendText(p.server.Get(), "part\n250 done\n");
  });
  std::string line;
  EXPECT_EQ(p.client.ReceiveLine(line, 256, 5), 15);
  EXPECT_EQ(line, "250-first part\n");
  sender.join();
  EXPECT_EQ(p.client.ReceiveLine(line, 256, 5), 9);
}

TEST(WsClientReceive, TimeOutAndCloseGiveZero) {
  ConnectedPair p;
  char buffer[16];
  EXPECT_EQ(p.client.Receive(buffer, sizeof buffer, 1), 0);
  EXPECT_EQ(p.client.WaitForReceive(0, 1000), kWsError);
  SendText(p.server.Get(), "abc");
  EXPECT_EQ(p.client.WaitForReceive(1, 0), kWsSuccess);
  EXPECT_EQ(p.client.IsDataWaiting(), 1);
  EXPECT_EQ(p.client.Receive(buffer, sizeof buffer, 1), 3);
  EXPECT_TRUE(p.client.IsConnected());
  p.server.Reset();
  EXPECT_EQ(p.client.Receive(buffer, sizeof buffer, 1), 0);
  EXPECT_FALSE(p.client.IsConnected());
}

TEST(WsClientReceive, ClearReceiveBufferDropsWaitingBytes) {
  ConnectedPair p;
  SendText(p.server.Get(), std::string(1000, 'z'));
  ASSERT_EQ(p.client.WaitForReceive(1, 0), kWsSuccess);
  ASSERT_TRUE(test::WaitUntil([&] {
    int waiting = 0;
    return ::ioctl(p.client.GetSocket(), FIONREAD, &waiting) == 0 && waiting == 1000;
  }));
  EXPECT_EQ(p.client.ClearReceiveBuffer(), kWsSuccess);
  EXPECT_EQ(p.client.IsDataWaiting(), 0);
}

TEST(WsClientSend, SendsUpToTheTerminatingZero) {
  ConnectedPair p;
  EXPECT_EQ(p.client.Send("HELO x\r\n"), 8);
  EXPECT_EQ(p.client.Send("abcdef", 3), 3);
  std::string got;
  EXPECT_TRUE(test::ReadUntil(p.server.Get(), "abc", got));
  EXPECT_EQ(got, "HELO x\r\nabc");
  EXPECT_GT(p.client.GetMaxSendBuffer(), 0);
  CUT_WSClient unconnected;
  EXPECT_EQ(unconnected.Send("x"), 0);
  EXPECT_EQ(unconnected.GetMaxSendBuffer(), -1);
}

TEST(WsClientFiles, SendFileAndReceiveToFileRoundTrip) {
  test::TempRoot root;
  std::string content;
  for (int i = 0; i < 3000; ++i) content += static_cast<char>(i * 7);
  auto source = root.Write("source.bin", content);

  LoopbackListener listener;
  CUT_WSClient sender;
  std::string sent;
  std::thread accept_side([&] {
    UniqueFd far = listener.Accept();
    test::ReadToClose(far.Get(), sent);
  });
  ASSERT_EQ(sender.Connect(listener.Port(), "127.0.0.1"), kWsSuccess);
  EXPECT_EQ(sender.SendFile(source), kWsSuccess);
  EXPECT_EQ(sender.SendFile(root / "missing"), kWsSourceOpenFailed);
  sender.CloseConnection();
  accept_side.join();
  EXPECT_EQ(sent, content);

  // Now the other way: a peer sends the file and closes; the client stores it.
  LoopbackListener listener2;
  CUT_WSClient client;
  ASSERT_EQ(client.Connect(listener2.Port(), "127.0.0.1"), kWsSuccess);
  UniqueFd far = listener2.Accept();
  SendText(far.Get(), content);
  far.Reset();
  EXPECT_EQ(client.ReceiveToFile(root / "copy.bin", 3), kWsBadOpenMode);
  EXPECT_EQ(client.ReceiveToFile(root / "copy.bin", 1, 5), kWsSuccess);
  EXPECT_EQ(test::TempRoot::Read(root / "copy.bin"), content);
}

TEST(WsClientFiles, ReceiveToFileStopsAtTheMaximum) {
  test::TempRoot root;
  ConnectedPair p;
  SendText(p.server.Get(), std::string(1000, 'm'));
  EXPECT_EQ(p.client.ReceiveToFile(root / "part", 1, 5, 300), kWsSuccess);
  EXPECT_EQ(test::TempRoot::Read(root / "part").size(), 300u);
  EXPECT_EQ(p.client.ReceiveToFile(root / "part", 2, 1, 100), kWsSuccess);
  EXPECT_EQ(test::TempRoot::Read(root / "part").size(), 400u);
}

TEST(WsClientListen, AcceptsAndRecordsThePeer) {
  CUT_WSClient server;
  ASSERT_EQ(server.StartListening(0, 5, AF_INET, "127.0.0.1"), kWsSuccess);
  EXPECT_EQ(server.StartListening(0), kWsAlreadyConnected);
  ASSERT_NE(server.ListenPort(), 0u);
  EXPECT_EQ(server.WaitForAccept(0), kWsError);
  UniqueFd peer = test::ConnectLoopback(static_cast<int>(server.ListenPort()), "127.0.0.3");
  ASSERT_TRUE(peer.Valid());
  EXPECT_EQ(server.WaitForAccept(5), kWsSuccess);
  EXPECT_EQ(server.AcceptConnection(), kWsSuccess);
  EXPECT_EQ(server.RemoteHost(), "127.0.0.3");
  EXPECT_EQ(server.Send("hello\n"), 6);
  std::string got;
  EXPECT_TRUE(test::ReadUntil(peer.Get(), "\n", got));
}

TEST(WsClientDatagram, ConnectedAndBoundDatagramSockets) {
  CUT_WSClient a;
  ASSERT_EQ(a.CreateUDPSocket(0, 0, "127.0.0.1", "127.0.0.1"), kWsSuccess);
  CUT_WSClient b;
  ASSERT_EQ(b.Connect(a.LocalPort(), "127.0.0.1", 10, AF_INET, SOCK_DGRAM), kWsSuccess);
  int length = 5;
  EXPECT_EQ(b.SendTo("query", length), kWsSuccess);
  EXPECT_EQ(length, 5);
  char buffer[540];
  length = sizeof buffer;
  EXPECT_EQ(a.ReceiveFrom(buffer, length, 5), kWsSuccess);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(length)), "query");
  // The sender became the remote address: the answer goes back to it.
  EXPECT_EQ(a.RemoteHost(), "127.0.0.1");
  length = 6;
  EXPECT_EQ(a.SendTo("answer", length), kWsSuccess);
  EXPECT_EQ(b.Receive(buffer, sizeof buffer, 5), 6);
  length = sizeof buffer;
  EXPECT_EQ(b.ReceiveFrom(buffer, length, 1), kWsReceiveTimedOut);
  CUT_WSClient none;
  EXPECT_EQ(none.SendTo("x", length), kWsNoSocket);
}

}  // namespace
}  // namespace tarnhold
