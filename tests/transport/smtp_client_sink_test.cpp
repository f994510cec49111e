// The SMTP client against a real server: Postfix's smtp-sink, which accepts everything and
// dumps each transaction into a file of its own (with the dots of the data taken out again).
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback_socket.h"
#include "tests/support/scripted_peer.h"
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

// One smtp-sink process on 127.0.0.1, stopped by its pid when the object goes.
class SmtpSink {
 public:
  SmtpSink(const std::string& program, const fs::path& dump_folder,
           const std::vector<std::string>& options) {
    port_ = test::UnusedLoopbackPort();
    std::vector<std::string> args = {program};
    if (::geteuid() == 0) args.insert(args.end(), {"-u", "nobody"});
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"-d", (dump_folder / "m.").string(),
                             "127.0.0.1:" + std::to_string(port_), "100"});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
  }
  ~SmtpSink() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  // Waits until the sink accepts connections.
  [[nodiscard]] bool Ready() const {
    auto deadline = Clock::now() + milliseconds(5000);
    while (pid_ > 0 && Clock::now() < deadline) {
      if (test::ConnectLoopback(port_)) return true;
      std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
  }
  [[nodiscard]] int Port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
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
  ASSERT_EQ(client.Connect("127.0.0.1", "local", static_cast<unsigned>(sink.Port())),
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
  SmtpSink sink(program_, dumps_, {});
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
  ASSERT_EQ(client.Connect("127.0.0.1", "local", static_cast<unsigned>(sink.Port())),
            kSmtpConnected);
  EXPECT_EQ(client.Send("nobody@example.test", "gw@example.test", "s", "t"), kSmtpRcptRefused);
  EXPECT_EQ(client.LastReply().code, 250);  // the RSET after the refusal
  EXPECT_EQ(client.Send("nobody@example.test", "gw@example.test", "s", "t"), kSmtpRcptRefused);
  client.Close();
}

}  // namespace
}  // namespace tarnhold
