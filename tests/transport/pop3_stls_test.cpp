// STLS and CAPA on the POP3 server: when TLS is offered, what a client may do before and
// after it, and that nothing sent in clear text behind STLS is ever run.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "gateway/server_settings.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/temp_root.h"
#include "tests/transport/tls_line_client.h"
#include "tests/transport/tls_test_pair.h"
#include "transport/pop3_server.h"
#include "transport/socket_io.h"
#include "transport/tls_stream.h"

namespace tarnhold {
namespace {

namespace fs = std::filesystem;

class Pop3Stls : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_ / "popstore/0");
    settings_.BuildMailboxTable({{"bob", "Secret", true}}, {{"bob", "bob"}});
    const test::TlsTestPair pair = test::MakeTlsTestPair(root_.Path(), "pop");
    std::string error;
    ASSERT_EQ(credentials_.Load(pair.certificate, pair.key, error), TlsLoadResult::Loaded);
    server_ = std::make_unique<CPop3Server>(settings_);
    server_->SetTlsCredentials(&credentials_);
    ASSERT_EQ(server_->Start(0, "127.0.0.1"), 0);
  }
  std::unique_ptr<test::TlsLineClient> Greeted(const char* from = "127.0.0.2") {
    auto c = std::make_unique<test::TlsLineClient>(server_->Port(), from);
    EXPECT_EQ(c->Line(), "+OK  POP3 server ready");
    return c;
  }

  test::TempRoot root_;
  CServerSettings settings_{root_.Path()};
  TlsServerCredentials credentials_;
  std::unique_ptr<CPop3Server> server_;
};

TEST_F(Pop3Stls, CapaListsStlsUntilItIsUsed) {
  auto c = Greeted();
  EXPECT_EQ(c->Ask("CAPA"), "+OK Capability list follows");
  EXPECT_EQ(c->Listing(), (std::vector<std::string>{"TOP", "UIDL", "USER", "STLS"}));
  EXPECT_EQ(c->Ask("STLS"), "+OK Begin TLS negotiation");
  ASSERT_TRUE(c->StartTls());
  EXPECT_EQ(c->Ask("CAPA"), "+OK Capability list follows");
  EXPECT_EQ(c->Listing(), (std::vector<std::string>{"TOP", "UIDL", "USER"}));
  EXPECT_EQ(c->Ask("STLS"), "-ERR STLS not available");
  EXPECT_EQ(c->Ask("USER bob"), "+OK");
  EXPECT_EQ(c->Ask("PASS Secret"), "+OK");
  EXPECT_EQ(c->Ask("STAT"), "+OK 0 0");
}

TEST_F(Pop3Stls, NoPairNoStls) {
  std::string error;
  ASSERT_EQ(credentials_.Load("", "", error), TlsLoadResult::NotWanted);
  auto c = Greeted();
  EXPECT_EQ(c->Ask("CAPA"), "+OK Capability list follows");
  EXPECT_EQ(c->Listing(), (std::vector<std::string>{"TOP", "UIDL", "USER"}));
  EXPECT_EQ(c->Ask("STLS"), "-ERR STLS not available");
  EXPECT_EQ(c->Ask("USER bob"), "+OK");
}

// A USER given before STLS, and one sent behind it in the same packet, are both forgotten: the
// PASS inside TLS finds no name.
TEST_F(Pop3Stls, NothingFromTheClearTextPartSurvives) {
  auto c = Greeted();
  EXPECT_EQ(c->Ask("USER bob"), "+OK");
  c->SendRaw("STLS\r\nUSER bob\r\n");
  EXPECT_EQ(c->Line(), "+OK Begin TLS negotiation");
  ASSERT_TRUE(c->StartTls());
  EXPECT_EQ(c->Ask("PASS Secret"), "-ERR");
  EXPECT_EQ(c->Ask("USER bob"), "+OK");
  EXPECT_EQ(c->Ask("PASS Secret"), "+OK");
}

TEST_F(Pop3Stls, RequireTlsRefusesClearTextLoginsFromOtherHosts) {
  server_->SetRequireTls(true);
  const struct {
    const char* from;
    bool use_tls;
    const char* want;
  } cases[] = {
      {"127.0.0.2", false, "-ERR STLS first: no login in clear text"},
      {"127.0.0.2", true, "+OK"},
      {"127.0.0.1", false, "+OK"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(std::string(k.from) + (k.use_tls ? " with TLS" : " in clear"));
    auto c = Greeted(k.from);
    if (k.use_tls) {
      EXPECT_EQ(c->Ask("STLS"), "+OK Begin TLS negotiation");
      ASSERT_TRUE(c->StartTls());
    }
    EXPECT_EQ(c->Ask("USER bob"), k.want);
    EXPECT_EQ(c->Ask("PASS Secret"), k.want);
  }
}

}  // namespace
}  // namespace tarnhold
