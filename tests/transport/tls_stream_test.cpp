#include "transport/tls_stream.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <future>
#include <string>
#include <thread>

#include "platform/unique_fd.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/temp_root.h"
#include "tests/transport/tls_test_pair.h"
#include "transport/socket_io.h"
#include "transport/tls_context.h"

namespace tarnhold {
namespace {

constexpr long kHandshakeMs = 10000;

struct SocketPair {
  UniqueFd server;
  UniqueFd client;
  SocketPair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    server.Reset(fds[0]);
    client.Reset(fds[1]);
    SetReceiveTimeoutMs(server.Get(), 10000);
    SetReceiveTimeoutMs(client.Get(), 10000);
  }
};

class TlsStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pair_ = test::MakeTlsTestPair(root_.Path(), "server");
    ASSERT_FALSE(pair_.certificate.empty());
    std::string error;
    server_context_ = MakeServerTlsContext(pair_.certificate, pair_.key, error);
    ASSERT_NE(server_context_, nullptr) << error;
  }

  test::TempRoot root_;
  test::TlsTestPair pair_;
  std::shared_ptr<const TlsContext> server_context_;
};

// Lines split anywhere by the sender still come out whole through the line reader, and a
// large block arrives unchanged in the other direction.
TEST_F(TlsStreamTest, LinesAndBlocksPassBothWays) {
  SocketPair sockets;
  TlsStream server(sockets.server.Get(), server_context_);
  auto accepted = std::async(std::launch::async, [&] { return server.Accept(kHandshakeMs); });
  TlsStream client(sockets.client.Get(), ClientTlsContext(TlsVerify::No));
  ASSERT_EQ(client.Connect("localhost", kHandshakeMs), TlsHandshake::Done);
  ASSERT_EQ(accepted.get(), TlsHandshake::Done);
  EXPECT_EQ(client.Description().rfind("TLSv1.", 0), 0u) << client.Description();

  for (std::string_view piece : {"EHLO a", ".test\r", "\nMAIL FROM:<a@b>\r\n", "tail"}) {
    ASSERT_EQ(client.WriteAll(piece.data(), piece.size()), static_cast<long>(piece.size()));
  }
  LineReader reader;
  reader.SetTls(&server);
  std::string line;
  const struct {
    const char* want;
    bool complete;
  } reads[] = {{"EHLO a.test\r\n", true}, {"MAIL FROM:<a@b>\r\n", true}, {"tail", false}};
  for (const auto& r : reads) {
    LineRead got = reader.Read(sockets.server.Get(), line, 512, r.complete ? 5 : 1, LineEnd::CrLf);
    EXPECT_EQ(line, r.want);
    EXPECT_EQ(got.complete, r.complete);
  }
  const std::string block(1 << 20, 'x');
  std::jthread writer([&] {
    EXPECT_EQ(server.WriteAll(block.data(), block.size()), static_cast<long>(block.size()));
  });
  std::string received;
  char buffer[16384];
  while (received.size() < block.size()) {
    long n = client.Read(buffer, sizeof buffer);
    if (n <= 0) break;
    received.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(received == block, true);
}

// A peer that stalls or speaks clear text never hangs the handshake past its deadline.
TEST_F(TlsStreamTest, HandshakeEndsOnStallOrClearText) {
  const struct {
    const char* name;
    std::string peer_sends;
    TlsHandshake want;
  } cases[] = {
      {"silent", "", TlsHandshake::TimedOut},
      {"half a record", std::string("\x16\x03\x01\x02\x00", 5), TlsHandshake::TimedOut},
      {"clear text", "RSET\r\n", TlsHandshake::Failed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SocketPair sockets;
    ASSERT_TRUE(test::SendText(sockets.client.Get(), c.peer_sends));
    TlsStream server(sockets.server.Get(), server_context_);
    EXPECT_EQ(server.Accept(300), c.want);
    EXPECT_FALSE(server.Error().empty());
  }
}

// A silent peer after the handshake: the read ends with the socket's receive time-out, as a
// clear-text recv would, and the session stays usable.
TEST_F(TlsStreamTest, ReadTimesOutLikeClearText) {
  SocketPair sockets;
  SetReceiveTimeoutMs(sockets.server.Get(), 200);
  TlsStream server(sockets.server.Get(), server_context_);
  auto accepted = std::async(std::launch::async, [&] { return server.Accept(kHandshakeMs); });
  TlsStream client(sockets.client.Get(), ClientTlsContext(TlsVerify::No));
  ASSERT_EQ(client.Connect("localhost", kHandshakeMs), TlsHandshake::Done);
  ASSERT_EQ(accepted.get(), TlsHandshake::Done);
  char byte;
  errno = 0;
  EXPECT_EQ(server.Read(&byte, 1), -1);
  EXPECT_EQ(errno, EAGAIN);
  ASSERT_EQ(client.WriteAll("z", 1), 1);
  EXPECT_EQ(server.Read(&byte, 1), 1);
  EXPECT_EQ(byte, 'z');
}

// With verification asked for, a self-signed server is refused, and the reason is given.
TEST_F(TlsStreamTest, VerifyingClientRefusesSelfSigned) {
  SocketPair sockets;
  TlsStream server(sockets.server.Get(), server_context_);
  auto accepted = std::async(std::launch::async, [&] { return server.Accept(kHandshakeMs); });
  TlsStream client(sockets.client.Get(), ClientTlsContext(TlsVerify::Yes));
  EXPECT_EQ(client.Connect("localhost", kHandshakeMs), TlsHandshake::Failed);
  EXPECT_NE(client.Error().find("self"), std::string::npos) << client.Error();
  EXPECT_EQ(accepted.get(), TlsHandshake::Failed);
}

TEST(TlsServerCredentials, LoadsOnlyAMatchingPemPair) {
  test::TempRoot root;
  const test::TlsTestPair good = test::MakeTlsTestPair(root.Path(), "good");
  const test::TlsTestPair other = test::MakeTlsTestPair(root.Path(), "other");
  const auto not_pem = root.Write("not.pem", "just text\n");
  const struct {
    const char* name;
    std::filesystem::path certificate;
    std::filesystem::path key;
    TlsLoadResult want;
  } cases[] = {
      {"good pair", good.certificate, good.key, TlsLoadResult::Loaded},
      {"no files set", "", "", TlsLoadResult::NotWanted},
      {"key only", "", good.key, TlsLoadResult::NotWanted},
      {"missing certificate", root / "missing.crt", good.key, TlsLoadResult::Failed},
      {"missing key", good.certificate, root / "missing.key", TlsLoadResult::Failed},
      {"key of another certificate", good.certificate, other.key, TlsLoadResult::Failed},
      {"certificate not PEM", not_pem, good.key, TlsLoadResult::Failed},
      {"key not PEM", good.certificate, not_pem, TlsLoadResult::Failed},
  };
  TlsServerCredentials credentials;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Start from a loaded pair each time: a failed reload must drop it, not keep it.
    std::string error;
    ASSERT_EQ(credentials.Load(good.certificate, good.key, error), TlsLoadResult::Loaded);
    error.clear();
    EXPECT_EQ(credentials.Load(c.certificate, c.key, error), c.want);
    EXPECT_EQ(credentials.Current() != nullptr, c.want == TlsLoadResult::Loaded);
    EXPECT_EQ(error.empty(), c.want != TlsLoadResult::Failed) << error;
  }
}

}  // namespace
}  // namespace tarnhold
