// smtp_load: the load client of the end-to-end benchmark. Python's smtplib spends more CPU per
// megabyte than the roads it measures and caps the load at about 35 messages of 1 MB a second
// on two cores; this client sends the same prepared messages with a plain SMTP dialogue (HELO,
// MAIL, RCPT, DATA, message, ".", QUIT after the last) over several sessions and prints, for
// each message, its number and the wall-clock time at which its "250" arrived.
//
//   smtp_load HOST PORT SESSIONS FILE
//
// FILE holds the messages one after another, each as a line "#<number> <length>\n" followed by
// <length> bytes of ready data (CR LF line ends, dots already doubled). Session k sends messages
// k, k + SESSIONS, ... of the file. Output: "<number> <seconds since the epoch>" per
// acknowledged message, then errors (if any) on stderr; exit 1 when any session failed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

struct Message {
  long number = 0;
  std::string_view data;
};

struct Ack {
  long number;
  double when;
};

double Now() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

class Session {
 public:
  explicit Session(int fd) : fd_(fd) {}
  ~Session() { close(fd_); }

  bool Send(std::string_view data) {
    while (!data.empty()) {
      ssize_t n = send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Fail("send: " + std::string(strerror(errno)));
      data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  // Reads one reply (all its lines) and checks its first digit.
  bool Expect(char first_digit, const char* what) {
    for (;;) {
      size_t eol = buffer_.find("\r\n");
      while (eol == std::string::npos) {
        if (buffer_.size() > 65536) return Fail(std::string(what) + ": reply too long");
        char block[4096];
        ssize_t n = recv(fd_, block, sizeof block, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Fail(std::string(what) + ": connection lost");
        buffer_.append(block, static_cast<size_t>(n));
        eol = buffer_.find("\r\n");
      }
      std::string line = buffer_.substr(0, eol);
      buffer_.erase(0, eol + 2);
      if (line.size() >= 4 && line[3] == '-') continue;
      if (line.empty() || line[0] != first_digit)
        return Fail(std::string(what) + ": " + line);
      return true;
    }
  }

  const std::string& error() const { return error_; }

 private:
  bool Fail(std::string why) {
    error_ = std::move(why);
    return false;
  }

  int fd_;
  std::string buffer_;
  std::string error_;
};

int Connect(const char* host, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host, &address.sin_addr) != 1 ||
      connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Splits the mapped file into its messages; an empty result means the file is malformed.
std::vector<Message> Parse(std::string_view file) {
  std::vector<Message> out;
  while (!file.empty()) {
    size_t eol = file.find('\n');
    if (file[0] != '#' || eol == std::string_view::npos) return {};
    std::string head(file.substr(1, eol - 1));
    char* end = nullptr;
    long number = std::strtol(head.c_str(), &end, 10);
    unsigned long length = std::strtoul(end, nullptr, 10);
    file.remove_prefix(eol + 1);
    if (length > file.size()) return {};
    out.push_back({number, file.substr(0, length)});
    file.remove_prefix(length);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: smtp_load HOST PORT SESSIONS FILE\n");
    return 2;
  }
  const char* host = argv[1];
  int port = std::atoi(argv[2]);
  int sessions = std::atoi(argv[3]);
  int fd = open(argv[4], O_RDONLY | O_CLOEXEC);
  struct stat st{};
  if (sessions < 1 || fd < 0 || fstat(fd, &st) != 0 || st.st_size == 0) {
    std::fprintf(stderr, "smtp_load: cannot use %s\n", argv[4]);
    return 2;
  }
  void* map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return 2;
  std::vector<Message> messages =
      Parse({static_cast<const char*>(map), static_cast<size_t>(st.st_size)});
  if (messages.empty()) {
    std::fprintf(stderr, "smtp_load: %s is not a message file\n", argv[4]);
    return 2;
  }

  std::mutex lock;
  std::vector<Ack> acks;
  std::vector<std::string> errors;
  acks.reserve(messages.size());
  std::vector<std::thread> threads;
  for (int k = 0; k < sessions; ++k) {
    threads.emplace_back([&, k] {
      int socket_fd = Connect(host, port);
      if (socket_fd < 0) {
        std::lock_guard guard(lock);
        errors.push_back("connect: " + std::string(strerror(errno)));
        return;
      }
      Session session(socket_fd);
      bool ok = session.Expect('2', "greeting") && session.Send("HELO bench.test\r\n") &&
                session.Expect('2', "HELO");
      for (size_t i = static_cast<size_t>(k); ok && i < messages.size();
           i += static_cast<size_t>(sessions)) {
        ok = session.Send("MAIL FROM:<load@bench.test>\r\n") && session.Expect('2', "MAIL") &&
             session.Send("RCPT TO:<sink@far.test>\r\n") && session.Expect('2', "RCPT") &&
             session.Send("DATA\r\n") && session.Expect('3', "DATA") &&
             session.Send(messages[i].data) && session.Send(".\r\n") &&
             session.Expect('2', "end of data");
        if (ok) {
          double when = Now();
          std::lock_guard guard(lock);
          acks.push_back({messages[i].number, when});
        }
      }
      if (ok) ok = session.Send("QUIT\r\n") && session.Expect('2', "QUIT");
      if (!ok) {
        std::lock_guard guard(lock);
        errors.push_back(session.error());
      }
    });
  }
  for (auto& t : threads) t.join();
  for (const Ack& a : acks) std::printf("%ld %.6f\n", a.number, a.when);
  for (const std::string& e : errors) std::fprintf(stderr, "smtp_load: %s\n", e.c_str());
  return errors.empty() ? 0 : 1;
}
