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

#include "platform/unique_fd.h"
#include "tests/support/process_sockets.h"
#include "tests/support/temp_root.h"

extern char** environ;

namespace tarnhold::test {
namespace {

namespace fs = std::filesystem;
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

}  // namespace

std::string FindPostfixSmtpSink() {
  for (const char* path : {"/usr/sbin/smtp-sink", "/usr/lib/postfix/sbin/smtp-sink"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return {};
}

PostfixSmtpSink::PostfixSmtpSink(std::string program, fs::path dump_folder,
                                 std::vector<std::string> options, std::string address)
    : program_(std::move(program)), dumps_(std::move(dump_folder)), options_(std::move(options)) {
  std::error_code ec;
  fs::create_directories(dumps_, ec);
  // The sink drops its privileges and writes the dumps as nobody.
  fs::permissions(dumps_, fs::perms::all, ec);
  fs::permissions(dumps_.parent_path(), fs::perms::others_exec, fs::perm_options::add, ec);
  std::random_device random;
  for (int attempt = 0; attempt < 3 && !ready_; ++attempt) {
    address_ = !address.empty() ? address
                                : "127.78." + std::to_string(random() % 250 + 1) + "." +
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
  // Another program may answer on a shared address: only the sink's own listening socket
  // counts. A sink that could not bind ends at once.
  bool listening = WaitUntil([this] {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return true;
    }
    return ProcessHoldsSocket(pid_, Protocol::Tcp, address_, port_);
  });
  return listening && pid_ > 0;
}

void PostfixSmtpSink::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::vector<fs::path> PostfixSmtpSink::FinishedDumps() const {
  // The folder is listed first: a dump found there that the sink no longer holds open is
  // finished, since the sink writes each transaction through one descriptor that it closes
  // at the end of the transaction.
  std::vector<fs::path> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dumps_, ec)) {
    if (entry.path().filename().string().rfind("m.", 0) == 0) found.push_back(entry.path());
  }
  std::erase_if(found, [this](const fs::path& path) {
    return pid_ > 0 && ProcessHasOpen(pid_, path);
  });
  std::sort(found.begin(), found.end());
  return found;
}

std::vector<std::string> PostfixSmtpSink::WaitForDumps(std::size_t count,
                                                       milliseconds limit) const {
  std::vector<fs::path> found;
  (void)WaitUntil(
      [&] {
        found = FinishedDumps();
        return found.size() >= count;
      },
      limit);
  std::vector<std::string> out;
  for (const fs::path& path : found) out.push_back(TempRoot::Read(path));
  return out;
}

}  // namespace tarnhold::test
