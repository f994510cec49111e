// Storing one received message: the DATA lines as they come (with a Message-ID line added to a
// header that has none), one processing item per recipient and the source-information file of
// the first item. Nothing becomes visible to the rest of the gateway until every file of the
// message is written and on disk: all items stay locked until Commit, and whatever fails takes
// every file of the message away with it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/server_settings.h"

namespace tarnhold {

// Follows the reads of a DATA phase. A read is a whole line with its CR LF, or a piece of a
// longer line; only a read that starts a line can end the header or the data, so a long line
// that happens to end in "." or in a short piece never does.
class DataLineTracker {
 public:
  struct Step {
    bool insert_message_id = false;  // write the Message-ID line before this read
    bool end_of_data = false;        // this read is the final "." line
  };
  // `read` is what one line read returned; `complete` whether it ended with the line end.
  Step Next(std::string_view read, bool complete);

 private:
  bool at_line_start_ = true;
  bool in_header_ = true;
  bool has_message_id_ = false;
};

// The outcome of writing the source-information file.
enum class StatResult { Written, FileError, SystemError };

// Writes the source-information file of item `number` through the spool data manager and
// forces it to disk. FileError: `error` holds the system's reason.
[[nodiscard]] StatResult WriteStatFile(CServerSettings& settings, std::uint32_t number,
                                       std::string_view peer_address, std::string& error);

class MailTransfer {
 public:
  explicit MailTransfer(CServerSettings& settings) : settings_(settings) {}
  MailTransfer(const MailTransfer&) = delete;
  MailTransfer& operator=(const MailTransfer&) = delete;
  // Discards whatever was not committed.
  ~MailTransfer() { Discard(); }

  // Creates the first item (locked) and writes its header. False: no item could be made.
  [[nodiscard]] bool Begin(std::string_view first_recipient, std::string_view sender);
  // Appends bytes of the message text. A failed write spoils the transfer (Commit refuses).
  void Write(std::string_view bytes);
  // Makes one copy of the item for each of `further_recipients`, writes the source file of
  // the first item, forces everything to disk and only then releases the items to the
  // sweeper. Logs the stat lines to the SMTP receiver log. True: the message is safe. False:
  // nothing of it is left.
  [[nodiscard]] bool Commit(const std::vector<std::string>& further_recipients,
                            std::string_view peer_address);
  // Deletes every item made so far (and the stat file when written).
  void Discard();

  [[nodiscard]] std::uint32_t Number() const { return first_.Number(); }

 private:
  [[nodiscard]] bool MakeCopy(std::string_view recipient);
  void FlushPending();

  CServerSettings& settings_;
  SpoolItem first_;
  std::vector<SpoolItem> copies_;
  bool write_failed_ = false;
  // Message text not yet written: lines are gathered into large writes.
  std::string pending_;
  std::filesystem::path stat_file_;
};

}  // namespace tarnhold
