// The resolver against a real DNS server: dnsmasq on a loopback address and port 53, the port
// the resolver always asks. Needs root to bind port 53; skips with the reason otherwise.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/unique_fd.h"
#include "tests/support/temp_root.h"
#include "transport/dns_client.h"
#include "transport/mx_lookup.h"

namespace tarnhold {
namespace {

using test::TempRoot;

// One dnsmasq serving only the names given on its command line; stopped by its pid.
class Dnsmasq {
 public:
  Dnsmasq(const std::string& address, std::vector<std::string> records, const TempRoot& root)
      : address_(address) {
    std::vector<std::string> args{"dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null",
                                  "--no-resolv", "--no-hosts", "--pid-file=",
                                  "--listen-address=" + address, "--bind-interfaces",
                                  "--port=53", "--local=/test/", "--local-ttl=60",
                                  "--log-facility=-"};
    args.insert(args.end(), records.begin(), records.end());
    log_ = root / "dnsmasq.log";
    UniqueFd log(::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(log.Get(), 1);
      ::dup2(log.Get(), 2);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execvp("dnsmasq", argv.data());
      ::_exit(127);
    }
  }
  ~Dnsmasq() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // Waits until the server answers; false (with `why`) when it ended or never answered.
  bool WaitReady(std::string& why) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (pid_ <= 0 || ::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        why = "dnsmasq did not start: " + TempRoot::Read(log_);
        return false;
      }
      CDnsClient probe;
      probe.SetUseDatagram(true);
      probe.SetTimeoutSeconds(1);
      if (probe.Query(address_, "example.test", kDnsTypeAny) == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    why = "dnsmasq never answered";
    return false;
  }

 private:
  std::string address_;
  std::filesystem::path log_;
  pid_t pid_ = -1;
};

std::vector<std::string> ExampleRecords() {
  std::vector<std::string> r{
      "--mx-host=example.test,first10.example.test,10",
      "--mx-host=example.test,mx5.example.test,5",
      "--mx-host=example.test,second10.example.test,10",
      "--host-record=first10.example.test,127.0.0.25",
      "--host-record=mx5.example.test,127.0.0.26",
      "--cname=alias.test,example.test",
  };
  for (int i = 1; i <= 40; ++i) {
    r.push_back("--mx-host=big.test,mx" + std::to_string(i) + ".big.test," + std::to_string(i));
  }
  return r;
}

class DnsmasqTest : public ::testing::Test {
 protected:
  // Each test has its own address, so tests running side by side do not collide.
  void Start(const std::string& address) {
    if (::geteuid() != 0) GTEST_SKIP() << "binding port 53 for dnsmasq needs root";
    server_ = std::make_unique<Dnsmasq>(address, ExampleRecords(), root_);
    std::string why;
    if (!server_->WaitReady(why)) GTEST_SKIP() << why;
  }

  TempRoot root_;
  std::unique_ptr<Dnsmasq> server_;
};

struct Entry {
  std::string host, address;
  std::uint16_t preference;
  bool operator==(const Entry&) const = default;
};

std::vector<Entry> Drain(CMxLookup& lookup) {
  std::vector<Entry> out;
  lookup.Rewind();
  Entry e;
  while (lookup.NextMailExchanger(e.host, &e.address, e.preference) == 0) out.push_back(e);
  return out;
}

TEST_F(DnsmasqTest, ExchangersSortedWithEqualPreferencesInAnswerOrder) {
  Start("127.0.0.153");
  if (IsSkipped()) return;
  // The order the server gives the two exchangers of preference 10 in.
  CDnsClient client;
  ASSERT_EQ(client.Query("127.0.0.153", "example.test", kDnsTypeAny), 0);
  EXPECT_TRUE(client.Authoritative());
  std::vector<std::string> tens;
  for (const DnsRecord& r : client.Records()) {
    if (r.type == kDnsTypeMx && r.preference == 10) tens.push_back(r.data);
  }
  ASSERT_EQ(tens.size(), 2u);
  auto address_of = [](const std::string& host) {
    return host == "first10.example.test" ? std::string("127.0.0.25") : std::string();
  };

  for (const char* recipient : {"user@example.test", "user@alias.test"}) {
    SCOPED_TRACE(recipient);
    CMxLookup lookup;
    lookup.SetAddDomain(true);
    lookup.AddNameServer("127.0.0.153");
    ASSERT_EQ(lookup.Lookup("", recipient), 0);
    std::string domain = std::string(recipient).substr(5);
    std::vector<Entry> want{{"mx5.example.test", "127.0.0.26", 5},
                            {tens[0], address_of(tens[0]), 10},
                            {tens[1], address_of(tens[1]), 10},
                            {domain, "", 65535}};
    EXPECT_EQ(Drain(lookup), want);
  }
}

TEST_F(DnsmasqTest, LargeAnswerComesWholeOverTcp) {
  Start("127.0.0.154");
  if (IsSkipped()) return;
  CMxLookup lookup;
  ASSERT_EQ(lookup.Lookup("127.0.0.154", "postmaster@big.test"), 0);
  std::vector<Entry> got = Drain(lookup);
  ASSERT_EQ(got.size(), 40u);
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].preference, i + 1);

  // The same answer in one datagram is cut at the datagram size; what fits is read soundly.
  CDnsClient udp;
  udp.SetUseDatagram(true);
  ASSERT_EQ(udp.Query("127.0.0.154", "big.test", kDnsTypeAny), 0);
  std::size_t exchangers = std::count_if(udp.Records().begin(), udp.Records().end(),
                                         [](const DnsRecord& r) { return r.type == kDnsTypeMx; });
  EXPECT_GT(exchangers, 0u);
  EXPECT_LT(exchangers, 40u);
}

TEST_F(DnsmasqTest, UnknownDomainIsNotFound) {
  Start("127.0.0.155");
  if (IsSkipped()) return;
  CMxLookup lookup;
  lookup.SetAddDomain(true);
  EXPECT_EQ(lookup.Lookup("127.0.0.155", "user@nowhere.test"), 1);
  EXPECT_EQ(lookup.Count(), 1u);
}

}  // namespace
}  // namespace tarnhold
