#include "tests/support/recording_smtp_sink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarnhold::test {
namespace {

constexpr int kPollMs = 50;
constexpr milliseconds kLineTimeout{10000};
constexpr std::size_t kMaxLine = 64 * 1024;

bool Send(int fd, const std::string& line) {
  std::string out = line + "\r\n";
  std::size_t sent = 0;
  while (sent < out.size()) {
    ssize_t n = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool StartsWithNoCase(const std::string& line, const char* prefix) {
  return ::strncasecmp(line.c_str(), prefix, std::strlen(prefix)) == 0;
}

// Lines of one connection, each with its line end (LF, and a CR before it when there was
// one). False at the end of the connection, after the time-out or when the test is over.
class LineReader {
 public:
  LineReader(int fd, const std::atomic<bool>& stop) : fd_(fd), stop_(stop) {}
  bool Next(std::string& line) {
    auto deadline = std::chrono::steady_clock::now() + kLineTimeout;
    for (;;) {
      std::size_t lf = buffer_.find('\n');
      if (lf != std::string::npos) {
        line = buffer_.substr(0, lf + 1);
        buffer_.erase(0, lf + 1);
        return true;
      }
      if (buffer_.size() > kMaxLine || stop_ || std::chrono::steady_clock::now() > deadline) {
        return false;
      }
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, kPollMs) <= 0) continue;
      char chunk[4096];
      ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

 private:
  int fd_;
  const std::atomic<bool>& stop_;
  std::string buffer_;
};

std::string WithoutLineEnd(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

}  // namespace

RecordingSmtpSink::RecordingSmtpSink() : RecordingSmtpSink(Options{}) {}

RecordingSmtpSink::RecordingSmtpSink(Options options) : options_(std::move(options)) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int one = 1;
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(options_.port));
  ::inet_pton(AF_INET, options_.address.c_str(), &a.sin_addr);
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(fd.Get(), 64) != 0) {
    error_ = "cannot listen on " + options_.address + ":" + std::to_string(options_.port) +
             ": " + std::strerror(errno);
    return;
  }
  socklen_t len = sizeof a;
  ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  listener_ = std::move(fd);
  acceptor_ = std::thread([this] { Accept(); });
}

RecordingSmtpSink::~RecordingSmtpSink() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  for (std::thread& t : servers_) t.join();
}

void RecordingSmtpSink::Accept() {
  while (!stop_) {
    pollfd p{listener_.Get(), POLLIN, 0};
    if (::poll(&p, 1, kPollMs) <= 0) continue;
    UniqueFd fd(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd) continue;
    {
      std::scoped_lock guard(mutex_);
      ++connections_;
      most_at_once_ = std::max(most_at_once_, ++open_);
    }
    servers_.emplace_back([this, f = std::move(fd)]() mutable { Serve(std::move(f)); });
  }
}

void RecordingSmtpSink::Serve(UniqueFd fd) {
  const int s = fd.Get();
  LineReader reader(s, stop_);
  std::vector<SinkMessage> done;
  SinkMessage current;
  std::string helo;
  bool ended = false;  // a message's data has ended on this connection
  Send(s, options_.greeting);
  std::string line;
  while (reader.Next(line)) {
    std::string text = WithoutLineEnd(line);
    if (ended) {
      done.back().after.push_back(text);
      continue;
    }
    if (StartsWithNoCase(text, "HELO") || StartsWithNoCase(text, "EHLO")) {
      helo = text.size() > 5 ? text.substr(5) : "";
      Send(s, options_.helo_reply);
    } else if (StartsWithNoCase(text, "MAIL")) {
      current = SinkMessage{helo, text, "", "", {}};
      Send(s, options_.mail_reply);
    } else if (StartsWithNoCase(text, "RCPT")) {
      current.rcpt_to = text;
      Send(s, options_.rcpt_reply);
    } else if (StartsWithNoCase(text, "DATA")) {
      Send(s, options_.data_reply);
      if (options_.data_reply.rfind('3', 0) != 0) continue;
      bool complete = false;
      while (reader.Next(line)) {
        if (line == ".\r\n") {
          complete = true;
          break;
        }
        current.data += line;
      }
      if (!complete) break;
      if (options_.end_reply_delay.count() > 0) std::this_thread::sleep_for(options_.end_reply_delay);
      // Before the reply: the client counts as busy until it has it.
      if (done.empty()) EndTransaction();
      Send(s, options_.end_reply);
      done.push_back(current);
      ended = !options_.several_messages;
    } else if (StartsWithNoCase(text, "QUIT")) {
      Send(s, "221 bye");
      break;
    } else {
      Send(s, "250 ok");
    }
  }
  fd.Reset();
  if (done.empty()) EndTransaction();
  std::scoped_lock guard(mutex_);
  for (SinkMessage& m : done) messages_.push_back(std::move(m));
  ++closed_;
  changed_.notify_all();
}

void RecordingSmtpSink::EndTransaction() {
  std::scoped_lock guard(mutex_);
  --open_;
}

bool RecordingSmtpSink::WaitForMessages(std::size_t count, milliseconds timeout) {
  std::unique_lock guard(mutex_);
  return changed_.wait_for(guard, timeout, [&] { return messages_.size() >= count; });
}

bool RecordingSmtpSink::WaitForClosedConnections(int count, milliseconds timeout) {
  std::unique_lock guard(mutex_);
  return changed_.wait_for(guard, timeout, [&] { return closed_ >= count; });
}

std::vector<SinkMessage> RecordingSmtpSink::Messages() const {
  std::scoped_lock guard(mutex_);
  return messages_;
}

int RecordingSmtpSink::Connections() const {
  std::scoped_lock guard(mutex_);
  return connections_;
}

int RecordingSmtpSink::MostAtOnce() const {
  std::scoped_lock guard(mutex_);
  return most_at_once_;
}

}  // namespace tarnhold::test
