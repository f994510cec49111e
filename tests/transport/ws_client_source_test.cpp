// The socket client's transfers through data sources and its line sender, against a plain
// loopback peer.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "message/buffer_source.h"
#include "message/file_sources.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/temp_root.h"
#include "transport/listen_server.h"
#include "transport/ws_client.h"

namespace tarnhold {
namespace {

using test::LoopbackListener;
using test::SendText;
using namespace std::chrono_literals;

// A client connected to a far side the test holds.
template <typename Client = CUT_WSClient>
struct Pair {
  LoopbackListener listener;
  Client client;
  UniqueFd far;
  Pair() {
    EXPECT_EQ(client.Connect(listener.Port(), "127.0.0.1"), kWsSuccess);
    far = listener.Accept();
  }
  // Everything the client sent, once it has closed.
  std::string Sent() {
    client.CloseConnection();
    std::string got;
    EXPECT_TRUE(test::ReadToClose(far.Get(), got));
    return got;
  }
};

// Stops every transfer at its first piece.
class AbortingClient : public CUT_WSClient {
 public:
  int IsAborted() override { return 1; }
};

std::string Pattern(std::size_t size) {
  std::string text;
  for (std::size_t i = 0; i < size; ++i) text += static_cast<char>('a' + i % 26);
  return text;
}

TEST(WsClientSource, SendsTheWholeSourceAndClosesIt) {
  for (std::size_t size : {0u, 1u, 255u, 256u, 3000u}) {
    SCOPED_TRACE(size);
    std::string text = Pattern(size);
    CBufferSource source(text.data(), text.size(), "text", text.size());
    Pair p;
    EXPECT_EQ(p.client.SendFromSource(source), kWsSuccess);
    EXPECT_EQ(p.Sent(), text);
  }
}

TEST(WsClientSource, ReceivesUntilCloseOrTheMaximumThenAppends) {
  test::TempRoot root;
  CFileSource file(root / "copy");
  Pair p;
  SendText(p.far.Get(), Pattern(1000));
  EXPECT_EQ(p.client.ReceiveToSource(file, 1, 5, 300), kWsSuccess);
  EXPECT_EQ(test::TempRoot::Read(root / "copy"), Pattern(300));
  p.far.Reset();  // the peer closes after the rest
  EXPECT_EQ(p.client.ReceiveToSource(file, 2, 5), kWsSuccess);
  EXPECT_EQ(test::TempRoot::Read(root / "copy"), Pattern(300) + Pattern(1000).substr(300));
}

TEST(WsClientSource, FailuresHaveTheirCodes) {
  test::TempRoot root;
  CFileSource missing(root / "missing");
  CFileSource unwritable(root / "no-folder" / "file");
  char small[10];
  {
    CUT_WSClient unconnected;
    EXPECT_EQ(unconnected.SendFromSource(missing), kWsNoSocket);
    EXPECT_EQ(unconnected.ReceiveToSource(missing, 1), kWsNoSocket);
  }
  {
    Pair p;
    EXPECT_EQ(p.client.SendFromSource(missing), kWsSourceOpenFailed);
    EXPECT_EQ(p.client.ReceiveToSource(unwritable, 1), kWsSourceOpenFailed);
    EXPECT_EQ(p.client.ReceiveToSource(missing, 0), kWsBadOpenMode);
    EXPECT_EQ(p.client.ReceiveToSource(missing, 3), kWsBadOpenMode);
    // Nothing comes: the time-out, not a wait for the close.
    CBufferSource into(small, sizeof small, "small");
    EXPECT_EQ(p.client.ReceiveToSource(into, 1, 1), kWsReceiveTimedOut);
    // More comes than the buffer holds: a short write.
    SendText(p.far.Get(), Pattern(100));
    EXPECT_EQ(p.client.ReceiveToSource(into, 1, 5), kWsSourceWriteFailed);
  }
  {
    Pair<AbortingClient> p;
    std::string text = Pattern(1000);
    CBufferSource source(text.data(), text.size(), "text", text.size());
    EXPECT_EQ(p.client.SendFromSource(source), kWsAborted);
    EXPECT_EQ(p.Sent(), Pattern(255));
  }
}

TEST(WsClientSource, SendLinesBreaksAndEndsEveryLine) {
  struct Case {
    std::string text;
    int line_length;
    std::string wire;
  } cases[] = {
      {"", 10, ""},
      {"one", 10, "one\r\n"},
      {"one\ntwo\r\nthree", 0, "one\r\ntwo\r\nthree\r\n"},
      {"abcdefgh", 3, "abc\r\ndef\r\ngh\r\n"},
      {"abc\ndef", 3, "abc\r\ndef\r\n"},  // a line of exactly the length keeps its own end
      {"\n\n", 5, "\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Pair p;
    EXPECT_EQ(p.client.SendLines(c.text.c_str(), static_cast<int>(c.text.size()), c.line_length),
              static_cast<int>(c.text.size()));
    EXPECT_EQ(p.Sent(), c.wire);
  }
  Pair p;
  EXPECT_EQ(p.client.SendLines("abcdef", 2, 0), 2);  // only `length` bytes
  EXPECT_EQ(p.Sent(), "ab\r\n");
}

TEST(ServerConnectionTokens, GetTokenNumberIsTheSharedHelper) {
  long number = -1;
  EXPECT_EQ(CServerConnection::GetTokenNumber("RETR 12", " ", 1, number), 0);
  EXPECT_EQ(number, 12);
  EXPECT_EQ(CServerConnection::GetTokenNumber("RETR", " ", 1, number), 1);
  EXPECT_EQ(number, 0);
}

}  // namespace
}  // namespace tarnhold
