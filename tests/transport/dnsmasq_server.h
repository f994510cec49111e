// dnsmasq as the DNS server of a test: on one loopback address and port 53 (the port the
// resolver always asks), serving only the names given on its command line under ".test".
// Binding port 53 needs root; Start reports why when the server cannot run. Stopped by its pid.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "tests/support/temp_root.h"
#include "transport/dns_client.h"

namespace tarnhold::test {

class DnsmasqServer {
 public:
  DnsmasqServer() = default;
  DnsmasqServer(const DnsmasqServer&) = delete;
  DnsmasqServer& operator=(const DnsmasqServer&) = delete;
  ~DnsmasqServer() { Stop(); }

  // Starts dnsmasq on `address`:53 with `records` (--mx-host=..., --host-record=...) and
  // waits until it answers. False with the reason in `why` when it cannot run.
  bool Start(const std::string& address, const std::vector<std::string>& records,
             const std::filesystem::path& log_file, std::string& why) {
    if (::geteuid() != 0) {
      why = "binding port 53 for dnsmasq needs root";
      return false;
    }
    address_ = address;
    std::vector<std::string> args{"dnsmasq",       "--keep-in-foreground", "--conf-file=/dev/null",
                                  "--no-resolv",   "--no-hosts",           "--pid-file=",
                                  "--listen-address=" + address,           "--bind-interfaces",
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
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (pid_ <= 0 || ::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        why = "dnsmasq did not start: " + TempRoot::Read(log_file);
        return false;
      }
      CDnsClient probe;
      probe.SetUseDatagram(true);
      probe.SetTimeoutSeconds(1);
      if (probe.Query(address_, "probe.test", kDnsTypeAny) == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    why = "dnsmasq never answered";
    return false;
  }

  void Stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  std::string address_;
  pid_t pid_ = -1;
};

}  // namespace tarnhold::test
