// Listing a queue folder: one row per message file with the header values the queue manager
// shows, streamed in the folder's listing order, so the first rows are there at once however
// large the folder is. The lister runs one listing at a time on a thread of its own; a new
// listing first stops the one before it. A file that cannot be read (held by the gateway,
// not a queue item) or whose To value is empty is left out without a word.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tarnhold::queues {

struct QueueRow {
  std::string date;    // the Date value as written
  std::string number;  // the file name
  std::string to;      // To, From, Subject and Message-ID lower-cased, as the rules see
  std::string from;    // them
  std::string subject;
  std::string message_id;
  std::string sender;     // the envelope sender
  std::string recipient;  // the envelope recipient
};

// The message text read for a row: at most this much of the header section.
inline constexpr std::size_t kMaxRowHeaderBytes = 64 * 1024;

enum class RowResult { Row, Skipped };

// Reads the row of one message file, taking its lock for the read (a held file is Skipped).
[[nodiscard]] RowResult ReadRow(const std::filesystem::path& item, QueueRow& row);

enum class ListingEnd { Finished, Aborted };

// Reads every regular file of `folder` named by an item number, in listing order, and hands
// each row to `on_row`. `stop` is asked before each file; true ends the listing with Aborted.
ListingEnd ListFolder(const std::filesystem::path& folder, const std::function<bool()>& stop,
                      const std::function<void(QueueRow&&)>& on_row);

// The listing thread with its two flags, running and abort, under one lock.
class FolderLister {
 public:
  // What the caller is told: a row (from the listing thread), and the end of a listing.
  using RowSink = std::function<void(QueueRow&&)>;
  using EndSink = std::function<void(ListingEnd)>;

  FolderLister() = default;
  FolderLister(const FolderLister&) = delete;
  FolderLister& operator=(const FolderLister&) = delete;
  ~FolderLister() { Abort(); }

  // Asks a running listing to stop and waits until it has. Returns whether one had to be
  // stopped (the window then says "Previous folder listing has been aborted").
  bool Abort();
  // Stops any running listing, then lists `folder` on a new thread.
  void Start(std::filesystem::path folder, RowSink on_row, EndSink on_end);
  [[nodiscard]] bool Running() const;
  // Waits until no listing runs; false when `timeout_ms` passed first.
  bool WaitIdle(long timeout_ms) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable idle_;
  bool running_ = false;
  bool abort_ = false;
  std::thread thread_;
};

}  // namespace tarnhold::queues
