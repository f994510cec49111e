#include "tests/support/process_sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

namespace tarnhold::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kTcpListen = "0A";

// One line of /proc/net/tcp or /proc/net/udp.
struct SocketLine {
  std::string local, remote, state;
  long unread = 0;  // the receive queue
  unsigned long inode = 0;
};

// An IPv4 address and port the way the kernel prints them there: "0100007F:0035".
std::string KernelForm(in_addr address, int port) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X:%04X", address.s_addr, static_cast<unsigned>(port));
  return text;
}

std::optional<std::string> KernelForm(const std::string& address, int port) {
  in_addr a{};
  if (::inet_aton(address.c_str(), &a) == 0) return std::nullopt;
  return KernelForm(a, port);
}

std::vector<SocketLine> SocketTable(Protocol protocol) {
  std::ifstream in(protocol == Protocol::Tcp ? "/proc/net/tcp" : "/proc/net/udp");
  std::vector<SocketLine> lines;
  std::string text;
  std::getline(in, text);  // the column names
  while (std::getline(in, text)) {
    std::istringstream fields(text);
    std::string slot, queues, timer, retransmits, uid, timeout;
    SocketLine line;
    fields >> slot >> line.local >> line.remote >> line.state >> queues >> timer >> retransmits >>
        uid >> timeout >> line.inode;
    if (!fields) continue;
    auto colon = queues.find(':');
    if (colon != std::string::npos) line.unread = std::stol(queues.substr(colon + 1), nullptr, 16);
    lines.push_back(std::move(line));
  }
  return lines;
}

// Calls `visit` with the stat of every descriptor process `pid` holds, until it returns true.
template <typename Visit>
bool AnyDescriptor(pid_t pid, Visit visit) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    struct stat st {};
    if (::stat(entry.path().c_str(), &st) == 0 && visit(st)) return true;
  }
  return false;
}

}  // namespace

bool ProcessHoldsSocket(pid_t pid, Protocol protocol, const std::string& address, int port) {
  std::optional<std::string> local = KernelForm(address, port);
  if (!local) return false;
  std::vector<unsigned long> inodes;
  for (const SocketLine& line : SocketTable(protocol)) {
    if (line.local != *local) continue;
    if (protocol == Protocol::Tcp && line.state != kTcpListen) continue;
    inodes.push_back(line.inode);
  }
  return AnyDescriptor(pid, [&](const struct stat& st) {
    if (!S_ISSOCK(st.st_mode)) return false;
    for (unsigned long inode : inodes) {
      if (st.st_ino == inode) return true;
    }
    return false;
  });
}

bool ProcessHasOpen(pid_t pid, const fs::path& path) {
  struct stat file {};
  if (::stat(path.c_str(), &file) != 0) return false;
  return AnyDescriptor(pid, [&](const struct stat& st) {
    return st.st_dev == file.st_dev && st.st_ino == file.st_ino;
  });
}

bool WaitUntilPeerHasRead(int fd, std::chrono::milliseconds timeout) {
  sockaddr_in mine{}, theirs{};
  socklen_t length = sizeof mine;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&mine), &length) != 0) return false;
  length = sizeof theirs;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &length) != 0) return false;
  // The far end's line is the one whose local side is our peer and whose remote side is us.
  const std::string far_local = KernelForm(theirs.sin_addr, ntohs(theirs.sin_port));
  const std::string far_remote = KernelForm(mine.sin_addr, ntohs(mine.sin_port));
  return WaitUntil(
      [&] {
        for (const SocketLine& line : SocketTable(Protocol::Tcp)) {
          if (line.local == far_local && line.remote == far_remote) return line.unread == 0;
        }
        return false;
      },
      timeout);
}

}  // namespace tarnhold::test
