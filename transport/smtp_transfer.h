// Storing one received message: the DATA lines as they come (with a Message-ID line added to a
// header that has none), one processing item per recipient and the source-information file of
// the first item. Nothing becomes visible to the rest of the gateway until every file of the
// message is written and on disk: all items stay locked until Commit, and whatever fails takes
// every file of the message away with it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/server_settings.h"

namespace tarnhold {

// Turns the reads of a DATA phase into the text that is stored. A read is a whole line with
// its CR LF, or a piece of a longer line; the data ends only at a read that starts a line and
// is "." CR LF, so a long line that happens to end in "." never ends it.
// The stored text is what a delivery sends as it stands, so every line in it ends in CR LF:
// a bare LF or a bare CR becomes CR LF, and a line begun that way that starts with "." gets
// a second dot, as any other line would on the wire. A line of a lone "." ended by a bare
// line end is doubled as well. So no stored line but the last is ever "." (a bare-LF "."
// line cannot end the message here or at any server after us). Text that already conforms
// is stored byte for byte.
class DataLineTracker {
 public:
  // `message_id_line` gives the "Message-ID: ..." line (with its CR LF) written before the
  // empty line that ends a header without one; it is asked at most once.
  explicit DataLineTracker(std::function<std::string()> message_id_line)
      : message_id_line_(std::move(message_id_line)) {}

  // Appends the stored form of `read` to `out`. `complete`: the read ended with its CR LF.
  // True when the read is the final "." line (stored as it is).
  bool Add(std::string_view read, bool complete, std::string& out);

  // What AddBlock did with a block.
  struct BlockResult {
    std::size_t used = 0;  // bytes of the block taken, the final "." line included
    bool ended = false;    // the final "." line was among them
  };
  // The same for any number of bytes at once, cut anywhere: lines that already conform go to
  // `out` in one piece. Takes the block up to and including the final "." line, else all of
  // it but for a "." or "." CR at a line start at its very end, which may yet become the final
  // line: the caller passes those bytes again, followed by more. A line ends the data where
  // Add would see it as a read of its own, so for the same bytes both store the same text.
  // Not to be mixed with Add on one tracker.
  [[nodiscard]] BlockResult AddBlock(std::string_view block, std::string& out);

 private:
  void Feed(std::string_view bytes, std::string& out);
  // Bytes of the block from `from` that are whole lines already in stored form, after the
  // header, up to (not including) a "." CR LF line.
  [[nodiscard]] static std::size_t ConformingRun(std::string_view block, std::size_t from);
  void Byte(char c, std::string& out);
  // Bytes of the current line with no CR or LF among them (at least one).
  void Text(std::string_view run, std::string& out);
  void LineBreak(bool bare, std::string& out);

  std::function<std::string()> message_id_line_;
  bool at_read_line_start_ = true;  // the last read ended with CR LF
  bool pending_cr_ = false;         // a CR whose next byte decides what it was
  bool bare_start_ = false;         // the current line follows a bare line end
  std::size_t line_length_ = 0;     // bytes of the current line as received
  std::string head_;                // its first bytes, for the Message-Id test
  bool in_header_ = true;
  bool has_message_id_ = false;
};

// The outcome of writing the source-information file.
enum class StatResult { Written, FileError, SystemError };

// Writes the source-information file of item `number` through the spool data manager and
// forces it to disk. FileError: `error` holds the system's reason.
[[nodiscard]] StatResult WriteStatFile(CServerSettings& settings, std::uint32_t number,
                                       std::string_view peer_address, std::string& error);

// MailTransfer writes the message text in blocks of this size.
inline constexpr std::size_t kTransferWriteBytes = 64 * 1024;

class MailTransfer {
 public:
  explicit MailTransfer(CServerSettings& settings) : settings_(settings) {}
  MailTransfer(const MailTransfer&) = delete;
  MailTransfer& operator=(const MailTransfer&) = delete;
  // Discards whatever was not committed.
  ~MailTransfer() { Discard(); }

  // Creates the first item (locked) and writes its header. False: no item could be made.
  [[nodiscard]] bool Begin(std::string_view first_recipient, std::string_view sender);
  // Appends bytes of the message text; small ones are gathered into writes of 64 KB. A failed
  // write spoils the transfer (Commit refuses).
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
