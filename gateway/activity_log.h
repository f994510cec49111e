// Activity logs: the history object CUH_Control (a bounded list of time-stamped lines with
// the scroll bookkeeping a view needs, and optional dated log files) and the process-wide
// entry points through which every engine thread logs. Drawing is left to the window layer,
// which reads a consistent copy through VisibleLines(). Logging never stops a component: a
// file that cannot be written loses that entry, and an entry point with no log installed does
// nothing.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace tarnhold {

inline constexpr int kDefaultLineLimit = 2048;
inline constexpr std::size_t kMaxLogFileNameLength = 255;
// How often a log file kept open is checked to still be the file under its name.
inline constexpr std::chrono::seconds kLogNameCheckEvery{1};
inline constexpr const char* kDefaultTimeStampFormat = "%X";

// Names of the five gateway logs (their window labels; "Bandwidth" has no window).
inline constexpr const char* kPop3LogName = "POP3 Download";
inline constexpr const char* kSmtpInLogName = "SMTP Server";
inline constexpr const char* kSweepLogName = "Content Sweeper";
inline constexpr const char* kSmtpOutLogName = "SMTP Agent";
inline constexpr const char* kBandwidthLogName = "Bandwidth";

// Colours as 0xRRGGBB.
inline constexpr std::uint32_t kWindowTextColour = 0x000000;
inline constexpr std::uint32_t kWindowColour = 0xFFFFFF;

struct LogLine {
  std::string text;
  std::uint32_t text_colour = kWindowTextColour;
  std::uint32_t background_colour = kWindowColour;
};

enum class ScrollAction { LineUp, LineDown, PageUp, PageDown, ThumbPosition, ThumbTrack, Top, Bottom };

struct ScrollState {
  int vertical_max = 0;
  int vertical_pos = 0;  // in lines, 0 = the oldest line at the top
  int horizontal_max = 0;
  int horizontal_pos = 0;  // in characters
};

// What a view of a log needs: its history, read under the log's lock, and the scroll state
// it keeps. Every call is virtual, so a window built into a plugin reaches a log that lives in
// the engine's program without linking the log's code a second time.
class LogHistory {
 public:
  using HistoryReader =
      std::function<void(const std::deque<LogLine>& lines, const ScrollState& scroll)>;

  virtual ~LogHistory() = default;
  virtual void Attach(int lines_fit, int chars_fit) = 0;
  virtual void Detach() = 0;
  virtual void SetViewSize(int lines_fit, int chars_fit) = 0;
  virtual bool ScrollVertical(ScrollAction action, int position = 0) = 0;
  virtual bool ScrollHorizontal(ScrollAction action, int position = 0) = 0;
  virtual void ReadHistory(const HistoryReader& reader) const = 0;
};

class CUH_Control : public LogHistory {
 public:
  // Called for every line added, with the log's name, under the log's lock (so in log order);
  // it must not call back into the log.
  using LineSink = std::function<void(std::string_view log_name, std::string_view line)>;
  // Called instead of the line sink for lines added together (AddStampedLines), with all of
  // them at once, so that a block costs its receiver one write; same rules as the line sink.
  using BlockSink =
      std::function<void(std::string_view log_name, const std::vector<std::string>& lines)>;

  explicit CUH_Control(std::string name = "");
  CUH_Control(const CUH_Control&) = delete;
  CUH_Control& operator=(const CUH_Control&) = delete;

  [[nodiscard]] const std::string& Name() const { return name_; }
  void SetLineSink(LineSink sink);
  void SetBlockSink(BlockSink sink);
  // The source of the current time (seconds since 1970); std::time by default. Lets a test put
  // entries on given days.
  void SetClock(std::function<std::time_t()> clock);

  // Binds a view that shows `lines_fit` whole lines of `chars_fit` whole characters and
  // re-applies the line limit. Lines are kept only while a view is attached.
  void Attach(int lines_fit, int chars_fit) override;
  void Detach() override;
  [[nodiscard]] bool IsAttached() const;
  // The view was resized or given another font: recomputes what fits and the scroll ranges.
  void SetViewSize(int lines_fit, int chars_fit) override;

  // Keeps at most max(count, lines that fit) lines, dropping the oldest; 0 empties the list
  // and keeps nothing.
  void SetLineLimit(int count);
  // 1 (old name kept) when empty or longer than kMaxLogFileNameLength; otherwise 0.
  int SetFileName(const std::string& path);
  void SetFileOutput(bool on);
  void SetDatedFileName(bool on);
  // 1 (old format kept) when empty; otherwise 0.
  int SetTimeStampFormat(const std::string& format);
  void SetColours(std::uint32_t text_colour, std::uint32_t background_colour);

  // Adds the local time in the time-stamp format, a blank and `text`.
  void AddStampedLine(std::string_view text, bool to_file);
  // Adds each of `texts` as AddStampedLine does, as one block: no other line comes between.
  void AddStampedLines(const std::vector<std::string>& texts, bool to_file);
  // Adds `text` unchanged: to the file when `to_file` and file output are on, to the sink, and
  // to the line list when a view is attached.
  void AddLine(std::string_view text, bool to_file);
  // Drops all lines.
  void Clear();

  // Scrolls; `position` is used by the thumb actions. True when the position changed (the
  // view then redraws).
  bool ScrollVertical(ScrollAction action, int position = 0) override;
  bool ScrollHorizontal(ScrollAction action, int position = 0) override;

  // Consistent copies for a painter on another thread.
  [[nodiscard]] std::vector<LogLine> Lines() const;
  // The lines to draw from the top of the view down, as selected by the scroll position.
  [[nodiscard]] std::vector<LogLine> VisibleLines() const;
  [[nodiscard]] ScrollState Scroll() const;
  [[nodiscard]] std::size_t LineCount() const;
  [[nodiscard]] std::size_t LongestLineLength() const;
  [[nodiscard]] int LineLimit() const;
  // Runs `reader` on the history and scroll state under the log's lock, for a painter that
  // must not copy: `reader` must be quick and must not call back into this log.
  void ReadHistory(const HistoryReader& reader) const override;

  // The file an entry made at local time `when` goes to: the configured name, with DDMMYYYY
  // inserted before the first "." of its last path element when dated names are on.
  [[nodiscard]] std::filesystem::path FileNameFor(const std::tm& when) const;

  // The stamped form of `text` at local time `when`.
  [[nodiscard]] std::string Stamp(std::string_view text, const std::tm& when) const;

 private:
  // The *Locked forms run with lock_ held by the caller (the lock is not re-entrant).
  [[nodiscard]] std::string StampLocked(std::string_view text, const std::tm& when) const;
  void AddLineLocked(std::string_view text, bool to_file);
  void SetViewSizeLocked(int lines_fit, int chars_fit);
  void SetLineLimitLocked(int count);
  [[nodiscard]] std::filesystem::path FileNameForLocked(const std::tm& when) const;
  void WriteToFile(std::string_view line);
  // Appends entries ("\n" + line each) in one write.
  void WriteBlockToFile(std::string_view entries);
  // Keeps a line for the view (when one is attached).
  void KeepLineLocked(std::string_view text);
  void ApplyLineLimit();
  void FindLongestLine();
  void RecomputeScrollRanges();

  mutable std::mutex lock_;
  std::string name_;
  LineSink sink_;
  BlockSink block_sink_;
  std::function<std::time_t()> clock_;
  std::string file_name_;
  // The log file kept open between entries, the name it was opened under and when that name
  // was last checked to still be this file.
  UniqueFd file_;
  std::filesystem::path open_name_;
  std::chrono::steady_clock::time_point name_checked_;
  bool file_output_ = false;
  bool dated_file_name_ = false;
  std::string time_stamp_format_ = kDefaultTimeStampFormat;
  std::uint32_t text_colour_ = kWindowTextColour;
  std::uint32_t background_colour_ = kWindowColour;
  std::deque<LogLine> lines_;  // oldest first
  int requested_limit_ = kDefaultLineLimit;
  int line_limit_ = kDefaultLineLimit;
  bool attached_ = false;
  int lines_fit_ = 0;
  int chars_fit_ = 0;
  std::size_t longest_ = 0;
  std::size_t longest_count_ = 0;  // kept lines of the longest length
  ScrollState scroll_;
};

// Inserts DDMMYYYY for `when` before the first "." of the last path element of `path` (at its
// end when it has none). Dots in folder names are left alone.
[[nodiscard]] std::filesystem::path DatedLogFileName(const std::filesystem::path& path,
                                                     const std::tm& when);

// The five process-wide logs. Set once at start-up, before the engine threads start.
struct ActivityLogs {
  CUH_Control* pop3 = nullptr;
  CUH_Control* smtp_in = nullptr;
  CUH_Control* sweep = nullptr;
  CUH_Control* smtp_out = nullptr;
  CUH_Control* bandwidth = nullptr;
};
// Installs the logs the entry points write to; pass {} to remove them.
void InstallActivityLogs(const ActivityLogs& logs);
[[nodiscard]] ActivityLogs InstalledActivityLogs();

// Entry points: each adds a stamped line, to file when its log writes files. Safe to call when
// no log is installed (the line is dropped).
void Pop3LogLine(std::string_view text);
void SmtpInLogLine(std::string_view text);
void SweepLogLine(std::string_view text);  // the line reads "<time> > <text>"
// The lines of one swept item as SweepLogLine writes them, kept together as one block.
void SweepLogLines(const std::vector<std::string>& texts);
void SmtpOutLogLine(std::string_view text);
// Several lines that came together (the lines of one reply), kept together in one entry block.
void SmtpOutLogLines(const std::vector<std::string>& texts);
void BandwidthLogLine(std::string_view text);

// The bandwidth log's record for one swept message: "\t%s\t%s\t%s\t%s\t%d" of the Date value,
// the Message-Id value in lower case, the envelope sender, the envelope recipient and the size
// of the queue item file in bytes.
[[nodiscard]] std::string BandwidthRecord(std::string_view date, std::string_view message_id,
                                          std::string_view sender, std::string_view recipient,
                                          std::int64_t size);

}  // namespace tarnhold
