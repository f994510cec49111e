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

namespace tarnhold {
namespace {

// Both ends of a socketpair, each with a receive time-out of `timeout_ms`.
struct Ends {
  UniqueFd server, client;
  explicit Ends(long timeout_ms = 10000) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    server.Reset(fds[0]);
    client.Reset(fds[1]);
    SetReceiveTimeoutMs(server.Get(), timeout_ms);
  }
};

std::shared_ptr<const TlsContext> ServerContext(const test::TempRoot& root) {
  const test::TlsTestPair pair = test::MakeTlsTestPair(root.Path(), "server");
  std::string error;
  auto context = MakeServerTlsContext(pair.certificate, pair.key, error);
  EXPECT_NE(context, nullptr) << error;
  return context;
}

// Handshakes both ends; the server's result.
TlsHandshake Handshake(TlsStream& server, TlsStream& client) {
  auto accepted = std::async(std::launch::async, [&] { return server.Accept(10000); });
  (void)client.Connect("localhost", 10000);
  return accepted.get();
}

// Lines split anywhere by the sender come out whole through the line reader; a silent peer
// ends a read with the socket's time-out, as in clear text; a large block passes unchanged.
TEST(TlsStream, LinesTimeOutsAndBlocksPassAsInClearText) {
  test::TempRoot root;
  Ends ends(300);
  TlsStream server(ends.server.Get(), ServerContext(root));
  TlsStream client(ends.client.Get(), ClientTlsContext(TlsVerify::No));
  ASSERT_EQ(Handshake(server, client), TlsHandshake::Done);
  EXPECT_EQ(client.Description().rfind("TLSv1.", 0), 0u) << client.Description();

  for (std::string_view piece : {"EHLO a", ".test\r", "\nMAIL FROM:<a@b>\r\n", "tail"}) {
    ASSERT_EQ(client.WriteAll(piece.data(), piece.size()), static_cast<long>(piece.size()));
  }
  LineReader reader;
  reader.SetTls(&server);
  std::string line;
  for (const char* want : {"EHLO a.test\r\n", "MAIL FROM:<a@b>\r\n"}) {
    EXPECT_TRUE(reader.Read(ends.server.Get(), line, 512, 0, LineEnd::CrLf).complete);
    EXPECT_EQ(line, want);
  }
  LineRead rest = reader.Read(ends.server.Get(), line, 512, 0, LineEnd::CrLf);
  EXPECT_EQ(line, "tail");
  EXPECT_TRUE(rest.timed_out);

  const std::string block(1 << 20, 'x');
  std::jthread writer([&] { (void)server.WriteAll(block.data(), block.size()); });
  std::string received;
  char buffer[16384];
  for (long n; received.size() < block.size() && (n = client.Read(buffer, sizeof buffer)) > 0;) {
    received.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_TRUE(received == block);
}

// A peer that stalls, speaks clear text or fails verification never holds the handshake past
// its deadline, and the reason is given.
TEST(TlsStream, HandshakeEndsOnStallClearTextOrFailedVerification) {
  test::TempRoot root;
  const auto context = ServerContext(root);
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
    Ends ends;
    ASSERT_TRUE(test::SendText(ends.client.Get(), c.peer_sends));
    TlsStream server(ends.server.Get(), context);
    EXPECT_EQ(server.Accept(300), c.want);
    EXPECT_FALSE(server.Error().empty());
  }
  Ends ends;
  TlsStream server(ends.server.Get(), context);
  TlsStream verifying(ends.client.Get(), ClientTlsContext(TlsVerify::Yes));
  EXPECT_EQ(Handshake(server, verifying), TlsHandshake::Failed);
  EXPECT_NE(verifying.Error().find("self-signed"), std::string::npos) << verifying.Error();
}

// A reload that fails drops the pair in force: TLS is then not offered, never half offered.
TEST(TlsServerCredentials, LoadsOnlyAMatchingPemPair) {
  test::TempRoot root;
  const test::TlsTestPair good = test::MakeTlsTestPair(root.Path(), "good");
  const test::TlsTestPair other = test::MakeTlsTestPair(root.Path(), "other");
  const auto not_pem = root.Write("not.pem", "just text\n");
  const struct {
    const char* name;
    std::filesystem::path certificate, key;
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
    std::string error;
    ASSERT_EQ(credentials.Load(good.certificate, good.key, error), TlsLoadResult::Loaded);
    EXPECT_EQ(credentials.Load(c.certificate, c.key, error), c.want);
    EXPECT_EQ(credentials.Current() != nullptr, c.want == TlsLoadResult::Loaded);
    EXPECT_EQ(error.empty(), c.want != TlsLoadResult::Failed) << error;
  }
}

}  // namespace
}  // namespace tarnhold
