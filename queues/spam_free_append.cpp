#include "queues/spam_free_append.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "gateway/address_lists.h"
#include "platform/unique_fd.h"

namespace fs = std::filesystem;

namespace tarnhold::queues {
namespace {

// The list is small and its other writers hold it briefly: a lock that stays taken longer
// than this is a stuck party, and the append fails rather than hang the window.
constexpr auto kLockWait = std::chrono::seconds(5);
constexpr auto kLockPoll = std::chrono::milliseconds(10);
// Appends that lost to a replacement of the file are made again this often.
constexpr int kReplacedTries = 5;
constexpr std::size_t kMaxListBytes = lists::kMaxRuleListBytes;

bool LockWithin(int fd) {
  auto deadline = std::chrono::steady_clock::now() + kLockWait;
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kLockPoll);
  }
  return true;
}

// Whether `fd` is still the file named `path` (not replaced or removed since it was opened).
bool StillNamed(int fd, const fs::path& path) {
  struct stat open_st {
  }, named_st{};
  if (::fstat(fd, &open_st) != 0 || ::stat(path.c_str(), &named_st) != 0) return false;
  return open_st.st_dev == named_st.st_dev && open_st.st_ino == named_st.st_ino;
}

bool ReadAll(int fd, std::string& text) {
  text.clear();
  char block[65536];
  while (text.size() < kMaxListBytes) {
    ssize_t n = ::pread(fd, block, sizeof block, static_cast<off_t>(text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    text.append(block, static_cast<std::size_t>(n));
  }
  return true;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

enum class Attempt { Done, Replaced, Failed };

Attempt TryAppend(const fs::path& list, std::string_view address, TrustResult& result) {
  UniqueFd fd(::open(list.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!fd || !LockWithin(fd.Get())) return Attempt::Failed;
  if (!StillNamed(fd.Get(), list)) return Attempt::Replaced;
  std::string text;
  if (!ReadAll(fd.Get(), text)) return Attempt::Failed;
  for (const std::string& entry : lists::ParseRuleList(text)) {
    if (lists::MatchWildcard(address, entry)) {
      result = TrustResult::AlreadyCovered;
      return Attempt::Done;
    }
  }
  // A last line without a line feed is no entry yet: end it first, so the new address is a
  // line of its own and the old one starts to count as well.
  std::string line;
  if (!text.empty() && text.back() != '\n') line = "\n";
  line.append(address);
  line += '\n';
  if (!WriteAll(fd.Get(), line) || ::fsync(fd.Get()) != 0) return Attempt::Failed;
  result = TrustResult::Added;
  return Attempt::Done;  // the lock ends with the descriptor
}

}  // namespace

TrustResult AddTrustedSender(const fs::path& list, std::string_view address) {
  if (address.empty()) return TrustResult::Refused;
  for (unsigned char c : address) {
    if (c < 0x20 || c == 0x7f) return TrustResult::Refused;
  }
  for (int i = 0; i < kReplacedTries; ++i) {
    TrustResult result = TrustResult::Failed;
    switch (TryAppend(list, address, result)) {
      case Attempt::Done:
        return result;
      case Attempt::Failed:
        return TrustResult::Failed;
      case Attempt::Replaced:
        continue;
    }
  }
  return TrustResult::Failed;
}

}  // namespace tarnhold::queues
