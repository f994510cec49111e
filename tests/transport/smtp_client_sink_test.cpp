// The SMTP client against a real server: Postfix's smtp-sink, which accepts everything and
// dumps each transaction into a file of its own (with the dots of the data taken out again).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "tests/support/temp_root.h"
#include "transport/local_mail.h"
#include "transport/smtp_client.h"

extern char** environ;

namespace tarnhold {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char* const kSinkPaths[] = {"/usr/sbin/smtp-sink", "/usr/lib/postfix/sbin/smtp-sink"};

std::string FindSink() {
  for (const char* path : kSinkPaths) {
    if (::access(path, X_OK) == 0) return path;
  }
  return {};
}

// A free port on `address` (bound, then released).
int FreePort(const std::string& address) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_aton(address.c_str(), &a.sin_addr);
  socklen_t len = sizeof a;
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    return 0;
  }
  return ntohs(a.sin_port);
}

bool Accepts(const std::string& address, int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_aton(address.c_str(), &a.sin_addr);
  return ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

// One smtp-sink process, stopped by its pid when the object goes. Unless told otherwise it
// listens on an address of its own in 127.0.0.0/8, where no other test's listener can take
// its port between the search for a free one and the sink's start.
class SmtpSink {
 public:
  SmtpSink(std::string program, fs::path dump_folder, std::vector<std::string> options,
           std::string address = {})
      : program_(std::move(program)), dumps_(std::move(dump_folder)), options_(std::move(options)) {
    std::random_device random;
    for (int attempt = 0; attempt < 3 && !ready_; ++attempt) {
      address_ = !address.empty() ? address
                                  : "127.77." + std::to_string(random() % 250 + 1) + "." +
                                        std::to_string(random() % 250 + 1);
      port_ = FreePort(address_);
      ready_ = port_ != 0 && Start() && WaitUntilListening();
      if (!ready_) Stop();
    }
  }
  ~SmtpSink() { Stop(); }

  [[nodiscard]] bool Ready() const { return ready_; }
  [[nodiscard]] const std::string& Address() const { return address_; }
  [[nodiscard]] int Port() const { return port_; }

 private:
  bool Start() {
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
  // True once the sink accepts; false when it ended (the port was taken) or 5 s passed.
  bool WaitUntilListening() {
    auto deadline = Clock::now() + milliseconds(5000);
    while (Clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      if (Accepts(address_, port_)) {
        // Another listener may have answered on a shared address; a sink that could not bind
        // ends at once, so it must still be running a moment later.
        std::this_thread::sleep_for(milliseconds(100));
        if (::waitpid(pid_, &status, WNOHANG) == 0) return true;
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
  }
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  std::string program_;
  fs::path dumps_;
  std::vector<std::string> options_;
  std::string address_;
  pid_t pid_ = -1;
  int port_ = 0;
  bool ready_ = false;
};

// The dump files once `count` of them exist (sorted by name), or fewer after 5 seconds.
std::vector<std::string> WaitForDumps(const fs::path& folder, std::size_t count) {
  auto deadline = Clock::now() + milliseconds(5000);
  std::vector<fs::path> found;
  while (Clock::now() < deadline) {
    found.clear();
    for (const auto& entry : fs::directory_iterator(folder)) {
      if (entry.path().filename().string().starts_with("m.")) found.push_back(entry.path());
    }
    if (found.size() >= count) break;
    std::this_thread::sleep_for(milliseconds(20));
  }
  std::vector<std::string> out;
  for (const fs::path& path : found) out.push_back(test::TempRoot::Read(path));
  return out;
}

std::string WithLf(std::string text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

class SmtpClientSink : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = FindSink();
    if (program_.empty()) GTEST_SKIP() << "smtp-sink (package postfix) is not installed";
    dumps_ = root_ / "dumps";
    fs::create_directories(dumps_);
    // The sink drops its privileges and writes the dumps as nobody.
    fs::permissions(root_.Path(), fs::perms::owner_all | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read |
                                      fs::perms::others_exec);
    fs::permissions(dumps_, fs::perms::all);
  }

  std::string program_;
  test::TempRoot root_;
  fs::path dumps_;
};

TEST_F(SmtpClientSink, TextAndFileArriveAsSent) {
  SmtpSink sink(program_, dumps_, {});
  ASSERT_TRUE(sink.Ready());
  std::string text = ".first line\r\nsecond line\r\n.\r\n..two dots\r\nlast";
  std::string file_content;
  for (int i = 0; i < 3000; ++i) {
    file_content += (i % 5 == 0 ? "." : "") + std::string("line ") + std::to_string(i) + "\r\n";
  }
  fs::path file = root_.Write("attached.txt", file_content);

  CSmtpClient client;
  ASSERT_EQ(client.Connect(sink.Address(), "local", static_cast<unsigned>(sink.Port())),
            kSmtpConnected);
  EXPECT_EQ(client.Send("one@example.test, Two <two@example.test>", "gw@example.test", "Files",
                        text, "", "", {file}),
            kSmtpSent);
  client.Close();

  std::vector<std::string> dumps = WaitForDumps(dumps_, 2);
  ASSERT_EQ(dumps.size(), 2u);
  std::string want_data = WithLf(text + "\r\n\r\n" + file_content);
  int seen_one = 0;
  int seen_two = 0;
  for (const std::string& dump : dumps) {
    seen_one += dump.find("X-Rcpt-Args: <one@example.test>") != std::string::npos;
    seen_two += dump.find("X-Rcpt-Args: <two@example.test>") != std::string::npos;
    EXPECT_NE(dump.find("X-Mail-Args: <gw@example.test>"), std::string::npos);
    EXPECT_NE(dump.find("\nSubject: Files\n"), std::string::npos);
    std::size_t body = dump.find("\n\n");
    ASSERT_NE(body, std::string::npos);
    // The sink's dump ends with an empty line of its own.
    EXPECT_TRUE(dump.compare(body + 2, want_data.size(), want_data) == 0)
        << "the data differs from what was sent; dump of " << dump.size() << " bytes";
  }
  EXPECT_EQ(seen_one, 1);
  EXPECT_EQ(seen_two, 1);
}

TEST_F(SmtpClientSink, SendLocalMailArrives) {
  SmtpSink sink(program_, dumps_, {}, "127.0.0.1");
  ASSERT_TRUE(sink.Ready());
  fs::path reply = root_.Write("reply.txt", "Held by the gateway.\n.\nEnd\n");
  EXPECT_EQ(SendLocalMail(static_cast<std::uint16_t>(sink.Port()), "sender@example.test",
                          "admin@gw.test", "RE: Your message", "Hello", reply),
            kLocalMailSent);
  std::vector<std::string> dumps = WaitForDumps(dumps_, 1);
  ASSERT_EQ(dumps.size(), 1u);
  EXPECT_NE(dumps[0].find("X-Helo-Args: local"), std::string::npos);
  EXPECT_NE(dumps[0].find("\n\nHello\nHeld by the gateway.\n.\nEnd\n"), std::string::npos);
}

TEST_F(SmtpClientSink, RefusedRecipientAndTheNextSend) {
  SmtpSink sink(program_, dumps_, {"-f", "RCPT", "-B", "550 5.1.1 User unknown"});
  ASSERT_TRUE(sink.Ready());
  CSmtpClient client;
  ASSERT_EQ(client.Connect(sink.Address(), "local", static_cast<unsigned>(sink.Port())),
            kSmtpConnected);
  EXPECT_EQ(client.Send("nobody@example.test", "gw@example.test", "s", "t"), kSmtpRcptRefused);
  EXPECT_EQ(client.LastReply().code, 250);  // the RSET after the refusal
  EXPECT_EQ(client.Send("nobody@example.test", "gw@example.test", "s", "t"), kSmtpRcptRefused);
  client.Close();
}

}  // namespace
}  // namespace tarnhold
