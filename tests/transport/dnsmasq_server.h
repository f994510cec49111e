// dnsmasq as the DNS server of a test: on a loopback address of its own and port 53 (the port
// the resolver always asks), serving only the names given on its command line under ".test".
// Binding port 53 needs root; Start reports why when the server cannot run. Stopped by its pid.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <random>
#include <vector>

#include "platform/unique_fd.h"
#include "tests/support/process_sockets.h"
#include "tests/support/temp_root.h"
#include "transport/dns_client.h"

namespace tarnhold::test {

class DnsmasqServer {
 public:
  DnsmasqServer() = default;
  DnsmasqServer(const DnsmasqServer&) = delete;
  DnsmasqServer& operator=(const DnsmasqServer&) = delete;
  ~DnsmasqServer() { Stop(); }

  // Starts dnsmasq on port 53 of a loopback address of its own with `records`
  // (--mx-host=..., --host-record=...) and waits until it answers there itself. False with
  // the reason in `why` when it cannot run.
  bool Start(const std::vector<std::string>& records, const std::filesystem::path& log_file,
             std::string& why) {
    if (::geteuid() != 0) {
      why = "binding port 53 for dnsmasq needs root";
      return false;
    }
    // Port 53 is fixed, so the address is what keeps servers of tests running side by side
    // (in this tree or another) apart; a taken one makes dnsmasq end, and another is tried.
    std::random_device random;
    for (int attempt = 0; attempt < 5; ++attempt) {
      address_ = "127.53." + std::to_string(random() % 250 + 1) + "." +
                 std::to_string(random() % 250 + 1);
      if (StartOn(records, log_file, why)) return true;
      Stop();
    }
    return false;
  }

  // The same on `address`; false when this dnsmasq cannot hold it (another server does).
  bool Start(const std::string& address, const std::vector<std::string>& records,
             const std::filesystem::path& log_file, std::string& why) {
    if (::geteuid() != 0) {
      why = "binding port 53 for dnsmasq needs root";
      return false;
    }
    address_ = address;
    return StartOn(records, log_file, why);
  }

  [[nodiscard]] const std::string& Address() const { return address_; }

  void Stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  bool StartOn(const std::vector<std::string>& records, const std::filesystem::path& log_file,
               std::string& why) {
    std::vector<std::string> args{"dnsmasq",       "--keep-in-foreground", "--conf-file=/dev/null",
                                  "--no-resolv",   "--no-hosts",           "--pid-file=",
                                  "--listen-address=" + address_,          "--bind-interfaces",
                                  "--port=53",     "--local=/test/",       "--local-ttl=60",
                                  "--log-facility=-"};
    args.insert(args.end(), records.begin(), records.end());
    UniqueFd log(::open(log_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
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
    // Ready when this dnsmasq holds both its sockets and answers: an answer alone might come
    // from another server on the same address.
    bool ended = false;
    bool ready = WaitUntil(
        [&] {
          if (pid_ <= 0 || ::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            ended = true;
            return true;
          }
          if (!ProcessHoldsSocket(pid_, Protocol::Udp, address_, 53) ||
              !ProcessHoldsSocket(pid_, Protocol::Tcp, address_, 53)) {
            return false;
          }
          CDnsClient probe;
          probe.SetUseDatagram(true);
          probe.SetTimeoutSeconds(1);
          return probe.Query(address_, "probe.test", kDnsTypeAny) == 0;
        },
        std::chrono::seconds(10));
    if (ended) {
      pid_ = -1;
      why = "dnsmasq did not start: " + TempRoot::Read(log_file);
      return false;
    }
    if (!ready) why = "dnsmasq never answered";
    return ready;
  }

  std::string address_;
  pid_t pid_ = -1;
};

}  // namespace tarnhold::test
