#include "sweeper/source_ip.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/unique_fd.h"

namespace tarnhold {
namespace {

enum class ReadOutcome { Read, FileError, NotAFile };

ReadOutcome TryRead(const std::filesystem::path& path, std::string& ip) {
  ip.clear();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return ReadOutcome::FileError;
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return ReadOutcome::FileError;
  if (!S_ISREG(st.st_mode)) return ReadOutcome::NotAFile;
  std::size_t want = std::min<std::size_t>(static_cast<std::size_t>(st.st_size), kMaxSourceIpBytes);
  ip.resize(want);
  std::size_t got = 0;
  while (got < want) {
    ssize_t n = ::read(fd.Get(), ip.data() + got, want - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ReadOutcome::FileError;
    if (n == 0) break;  // shrank while read: take what is there
    got += static_cast<std::size_t>(n);
  }
  ip.resize(got);
  return ReadOutcome::Read;
}

}  // namespace

std::string ReadSourceIp(const std::filesystem::path& stat_file, const LineSink& log,
                         std::chrono::milliseconds pause) {
  log("reading source IP info");
  std::error_code ec;
  if (!std::filesystem::exists(stat_file, ec)) {
    log("IP info not present");
    return "";
  }
  std::string ip;
  // An unopenable file is retried like a failed read: paced and bounded.
  for (int attempt = 0;; ++attempt) {
    switch (TryRead(stat_file, ip)) {
      case ReadOutcome::Read:
        log("source IP is " + ip);
        return ip;
      case ReadOutcome::NotAFile:
        log("non-file exception, aborting read operation");
        return "";
      case ReadOutcome::FileError:
        break;
    }
    if (attempt == kSourceIpRetries) {
      log("retried 10 times already, aborting IP info read operation");
      return "";
    }
    std::this_thread::sleep_for(pause);
    log("file access error while reading IP info, retrying ...");
  }
}

}  // namespace tarnhold
