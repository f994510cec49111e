#include "tests/support/postfix_smtp_sink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <thread>

#include "platform/unique_fd.h"
#include "tests/support/temp_root.h"

extern char** environ;

namespace tarnhold::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

sockaddr_in Address(const std::string& address, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_aton(address.c_str(), &a.sin_addr);
  return a;
}

// A free port on `address` (bound, then released); 0 when none.
int FreePort(const std::string& address) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = Address(address, 0);
  socklen_t len = sizeof a;
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    return 0;
  }
  return ntohs(a.sin_port);
}

bool Accepts(const std::string& address, int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = Address(address, port);
  return ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

}  // namespace

std::string FindPostfixSmtpSink() {
  for (const char* path : {"/usr/sbin/smtp-sink", "/usr/lib/postfix/sbin/smtp-sink"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return {};
}

PostfixSmtpSink::PostfixSmtpSink(std::string program, fs::path dump_folder,
                                 std::vector<std::string> options)
    : program_(std::move(program)), dumps_(std::move(dump_folder)), options_(std::move(options)) {
  std::error_code ec;
  fs::create_directories(dumps_, ec);
  // The sink drops its privileges and writes the dumps as nobody.
  fs::permissions(dumps_, fs::perms::all, ec);
  fs::permissions(dumps_.parent_path(), fs::perms::others_exec, fs::perm_options::add, ec);
  std::random_device random;
  for (int attempt = 0; attempt < 3 && !ready_; ++attempt) {
    address_ = "127.78." + std::to_string(random() % 250 + 1) + "." +
               std::to_string(random() % 250 + 1);
    port_ = FreePort(address_);
    ready_ = port_ != 0 && Start() && WaitUntilListening();
    if (!ready_) Stop();
  }
}

PostfixSmtpSink::~PostfixSmtpSink() { Stop(); }

bool PostfixSmtpSink::Start() {
  std::vector<std::string> args = {program_};
  if (::geteuid() == 0) args.insert(args.end(), {"-u", "nobody"});
  args.insert(args.end(), options_.begin(), options_.end());
  args.insert(args.end(),
              {"-d", (dumps_ / "m.").string(), address_ + ":" + std::to_string(port_), "100"});
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (::posix_spawn(&pid_, program_.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    pid_ = -1;
  }
  return pid_ > 0;
}

bool PostfixSmtpSink::WaitUntilListening() {
  auto deadline = Clock::now() + milliseconds(5000);
  while (Clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    if (Accepts(address_, port_)) {
      // A sink that could not bind ends at once: it must still run a moment later.
      std::this_thread::sleep_for(milliseconds(100));
      if (::waitpid(pid_, &status, WNOHANG) == 0) return true;
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(milliseconds(20));
  }
  return false;
}

void PostfixSmtpSink::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::vector<std::string> PostfixSmtpSink::WaitForDumps(std::size_t count,
                                                       milliseconds limit) const {
  auto deadline = Clock::now() + limit;
  std::vector<fs::path> found;
  for (;;) {
    found.clear();
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dumps_, ec)) {
      if (entry.path().filename().string().rfind("m.", 0) == 0) found.push_back(entry.path());
    }
    if (found.size() >= count || Clock::now() > deadline) break;
    std::this_thread::sleep_for(milliseconds(20));
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> out;
  for (const fs::path& path : found) out.push_back(TempRoot::Read(path));
  return out;
}

}  // namespace tarnhold::test
