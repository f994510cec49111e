#include "platform/item_counter.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>

#include "platform/spool_folder.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

}  // namespace

ItemCounter::ItemCounter(fs::path folder) : folder_(std::move(folder)) {}

// Restart rule: numbering starts again at 1 only when the folder holds no item. Checking that
// for every item would be the scan the counter exists to avoid, so it is checked only when the
// last number handed out is gone (the sweeper or delivery took it): then one lookup of that
// name, and a listing that stops at the first item name, tell whether the folder is empty. An
// item made with a number below the last one stays unnoticed until a collision, which is sound:
// numbers only need to be unused, and a collision reads the folder.
std::uint32_t ItemCounter::Next() {
  std::scoped_lock guard(mutex_);
  if (!scanned_) {
    last_ = LargestItemNumber(folder_);
    scanned_ = true;
  } else if (last_ != 0) {
    struct stat st {};
    const bool last_gone =
        ::lstat((folder_ / std::to_string(last_)).c_str(), &st) != 0 && errno == ENOENT;
    if (last_gone && FolderLooksEmpty()) last_ = 0;
  }
  if (last_ >= kLargestItemNumber) {
    last_ = LargestItemNumber(folder_);  // the top was reached once: free numbers may be back
    if (last_ >= kLargestItemNumber) return 0;
  }
  return ++last_;
}

std::uint32_t ItemCounter::AfterCollision(std::uint32_t number) {
  std::scoped_lock guard(mutex_);
  last_ = std::max({last_, number, LargestItemNumber(folder_)});
  scanned_ = true;
  if (last_ >= kLargestItemNumber) return 0;
  return ++last_;
}

bool ItemCounter::FolderLooksEmpty() const {
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder_.c_str()));
  if (!dir) return true;  // a missing folder holds nothing; creating in it will say why
  while (const dirent* e = ::readdir(dir.get())) {
    if (ItemNumber(e->d_name)) return false;
  }
  return true;
}

}  // namespace tarnhold
