// The next-number rule of a numbered folder without a folder scan per item. A counter hands
// out numbers one past the last it gave; the caller creates the item fail-if-exists (the
// atomic create-and-link) and reports a collision, so a number present in the folder is never
// reused or overwritten, whoever made it. Thread-safe; one counter per folder per process.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>

namespace tarnhold {

// Item names have at most 9 digits; past this the folder is full.
inline constexpr std::uint32_t kLargestItemNumber = 999'999'999;

class ItemCounter {
 public:
  explicit ItemCounter(std::filesystem::path folder);
  ItemCounter(const ItemCounter&) = delete;
  ItemCounter& operator=(const ItemCounter&) = delete;

  [[nodiscard]] const std::filesystem::path& Folder() const { return folder_; }

  // The number to create next: 1 in an empty folder, else one past the last number handed
  // out (the largest in the folder on first use). 0: the folder has no number left.
  [[nodiscard]] std::uint32_t Next();
  // Creating `number` found it taken (another process, or a number handed out twice across a
  // restart): the folder is read once and the next number to try is returned, one past both
  // `number` and the largest present. 0: no number left.
  [[nodiscard]] std::uint32_t AfterCollision(std::uint32_t number);

 private:
  [[nodiscard]] bool FolderLooksEmpty() const;

  std::mutex mutex_;
  const std::filesystem::path folder_;
  std::uint32_t last_ = 0;  // the last number handed out
  bool scanned_ = false;    // last_ has been set from the folder once
};

}  // namespace tarnhold
