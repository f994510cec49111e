#include "gateway/activity_log.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/local_time.h"
#include "platform/write_all.h"

namespace tarnhold {

std::filesystem::path DatedLogFileName(const std::filesystem::path& path, const std::tm& when) {
  char date[16];
  std::snprintf(date, sizeof date, "%2.2d%2.2d%4.4d", when.tm_mday % 100, (when.tm_mon + 1) % 100,
                (when.tm_year + 1900) % 10000);
  std::string name = path.filename().string();
  std::size_t dot = name.find('.');
  name.insert(dot == std::string::npos ? name.size() : dot, date);
  return path.parent_path() / name;
}

CUH_Control::CUH_Control(std::string name) : name_(std::move(name)) {}

void CUH_Control::SetLineSink(LineSink sink) {
  std::scoped_lock guard(lock_);
  sink_ = std::move(sink);
}

void CUH_Control::SetBlockSink(BlockSink sink) {
  std::scoped_lock guard(lock_);
  block_sink_ = std::move(sink);
}

void CUH_Control::SetClock(std::function<std::time_t()> clock) {
  std::scoped_lock guard(lock_);
  clock_ = std::move(clock);
}

void CUH_Control::Attach(int lines_fit, int chars_fit) {
  std::scoped_lock guard(lock_);
  attached_ = true;
  SetViewSizeLocked(lines_fit, chars_fit);
}

void CUH_Control::Detach() {
  std::scoped_lock guard(lock_);
  attached_ = false;
  lines_fit_ = chars_fit_ = 0;
}

bool CUH_Control::IsAttached() const {
  std::scoped_lock guard(lock_);
  return attached_;
}

void CUH_Control::SetViewSize(int lines_fit, int chars_fit) {
  std::scoped_lock guard(lock_);
  SetViewSizeLocked(lines_fit, chars_fit);
}

void CUH_Control::SetViewSizeLocked(int lines_fit, int chars_fit) {
  lines_fit_ = std::max(0, lines_fit);
  chars_fit_ = std::max(0, chars_fit);
  SetLineLimitLocked(requested_limit_);
}

void CUH_Control::SetLineLimit(int count) {
  std::scoped_lock guard(lock_);
  SetLineLimitLocked(count);
}

void CUH_Control::SetLineLimitLocked(int count) {
  requested_limit_ = std::max(0, count);
  line_limit_ = requested_limit_ == 0 ? 0 : std::max(requested_limit_, lines_fit_);
  ApplyLineLimit();
  RecomputeScrollRanges();
}

int CUH_Control::SetFileName(const std::string& path) {
  if (path.empty() || path.size() > kMaxLogFileNameLength) return 1;
  std::scoped_lock guard(lock_);
  file_name_ = path;
  file_.Reset();
  return 0;
}

void CUH_Control::SetFileOutput(bool on) {
  std::scoped_lock guard(lock_);
  file_output_ = on;
  if (!on) file_.Reset();
}

void CUH_Control::SetDatedFileName(bool on) {
  std::scoped_lock guard(lock_);
  dated_file_name_ = on;
}

int CUH_Control::SetTimeStampFormat(const std::string& format) {
  if (format.empty()) return 1;
  std::scoped_lock guard(lock_);
  time_stamp_format_ = format;
  return 0;
}

void CUH_Control::SetColours(std::uint32_t text_colour, std::uint32_t background_colour) {
  std::scoped_lock guard(lock_);
  text_colour_ = text_colour;
  background_colour_ = background_colour;
}

std::string CUH_Control::Stamp(std::string_view text, const std::tm& when) const {
  std::scoped_lock guard(lock_);
  return StampLocked(text, when);
}

std::string CUH_Control::StampLocked(std::string_view text, const std::tm& when) const {
  // The stamp buffer is the text's length plus 25 bytes; a format that does not fit gives an
  // empty stamp rather than a cut one.
  std::vector<char> buf(text.size() + 25);
  std::size_t n = std::strftime(buf.data(), buf.size(), time_stamp_format_.c_str(), &when);
  std::string line(buf.data(), n);
  line += ' ';
  line += text;
  return line;
}

void CUH_Control::AddStampedLine(std::string_view text, bool to_file) {
  std::scoped_lock guard(lock_);
  std::time_t now = clock_ ? clock_() : std::time(nullptr);
  AddLineLocked(StampLocked(text, LocalTime(now)), to_file);
}

void CUH_Control::AddStampedLines(const std::vector<std::string>& texts, bool to_file) {
  std::scoped_lock guard(lock_);
  std::time_t now = clock_ ? clock_() : std::time(nullptr);
  const std::tm when = LocalTime(now);
  std::vector<std::string> lines;
  lines.reserve(texts.size());
  for (const std::string& text : texts) lines.push_back(StampLocked(text, when));
  // The block reaches the file and the block sink in one write each; the entries are the
  // same as line by line.
  if (to_file && file_output_) {
    std::string block;
    for (const std::string& line : lines) block.append("\n").append(line);
    WriteBlockToFile(block);
  }
  for (const std::string& line : lines) {
    if (!block_sink_ && sink_) sink_(name_, line);
    KeepLineLocked(line);
  }
  if (block_sink_ && !lines.empty()) block_sink_(name_, lines);
}

void CUH_Control::AddLine(std::string_view text, bool to_file) {
  std::scoped_lock guard(lock_);
  AddLineLocked(text, to_file);
}

void CUH_Control::AddLineLocked(std::string_view text, bool to_file) {
  if (to_file && file_output_) WriteToFile(text);
  if (sink_) sink_(name_, text);
  KeepLineLocked(text);
}

void CUH_Control::KeepLineLocked(std::string_view text) {
  if (!attached_) return;
  lines_.push_back(LogLine{std::string(text), text_colour_, background_colour_});
  if (text.size() > longest_) {
    longest_ = text.size();
    longest_count_ = 1;
  } else if (text.size() == longest_) {
    ++longest_count_;
  }
  ApplyLineLimit();
  RecomputeScrollRanges();
}

void CUH_Control::Clear() {
  std::scoped_lock guard(lock_);
  lines_.clear();
  longest_ = 0;
  longest_count_ = 0;
  scroll_ = ScrollState{};
  RecomputeScrollRanges();
}

void CUH_Control::ApplyLineLimit() {
  // Lines of one log are mostly of one length: the list is searched again only when the last
  // line of the longest length goes, not whenever one of them does.
  while (lines_.size() > static_cast<std::size_t>(line_limit_)) {
    if (lines_.front().text.size() == longest_) --longest_count_;
    lines_.pop_front();
  }
  if (longest_count_ == 0 && longest_ != 0) FindLongestLine();
}

void CUH_Control::FindLongestLine() {
  longest_ = 0;
  longest_count_ = 0;
  for (const LogLine& l : lines_) {
    if (l.text.size() > longest_) {
      longest_ = l.text.size();
      longest_count_ = 0;
    }
    if (l.text.size() == longest_) ++longest_count_;
  }
}

void CUH_Control::RecomputeScrollRanges() {
  // The vertical position keeps its distance from the bottom, so a view that showed the newest
  // line goes on showing it.
  int from_bottom = scroll_.vertical_max - scroll_.vertical_pos;
  scroll_.vertical_max = std::max(0, static_cast<int>(lines_.size()) - lines_fit_);
  scroll_.vertical_pos = std::clamp(scroll_.vertical_max - from_bottom, 0, scroll_.vertical_max);
  scroll_.horizontal_max = std::max(0, static_cast<int>(longest_) - chars_fit_ + 1);
  scroll_.horizontal_pos = std::clamp(scroll_.horizontal_pos, 0, scroll_.horizontal_max);
}

namespace {

int Scrolled(ScrollAction action, int position, int current, int page, int max) {
  int target = current;
  switch (action) {
    case ScrollAction::LineUp: target = current - 1; break;
    case ScrollAction::LineDown: target = current + 1; break;
    case ScrollAction::PageUp: target = current - page; break;
    case ScrollAction::PageDown: target = current + page; break;
    case ScrollAction::ThumbPosition:
    case ScrollAction::ThumbTrack: target = position; break;
    case ScrollAction::Top: target = 0; break;
    case ScrollAction::Bottom: target = max; break;
  }
  return std::clamp(target, 0, max);
}

}  // namespace

bool CUH_Control::ScrollVertical(ScrollAction action, int position) {
  std::scoped_lock guard(lock_);
  int target =
      Scrolled(action, position, scroll_.vertical_pos, lines_fit_, scroll_.vertical_max);
  if (target == scroll_.vertical_pos) return false;
  scroll_.vertical_pos = target;
  return true;
}

bool CUH_Control::ScrollHorizontal(ScrollAction action, int position) {
  std::scoped_lock guard(lock_);
  int target =
      Scrolled(action, position, scroll_.horizontal_pos, chars_fit_, scroll_.horizontal_max);
  if (target == scroll_.horizontal_pos) return false;
  scroll_.horizontal_pos = target;
  return true;
}

std::vector<LogLine> CUH_Control::Lines() const {
  std::scoped_lock guard(lock_);
  return {lines_.begin(), lines_.end()};
}

std::vector<LogLine> CUH_Control::VisibleLines() const {
  std::scoped_lock guard(lock_);
  if (static_cast<int>(lines_.size()) <= lines_fit_) return {lines_.begin(), lines_.end()};
  auto first = lines_.begin() + scroll_.vertical_pos;
  return {first, first + lines_fit_};
}

ScrollState CUH_Control::Scroll() const {
  std::scoped_lock guard(lock_);
  return scroll_;
}

std::size_t CUH_Control::LineCount() const {
  std::scoped_lock guard(lock_);
  return lines_.size();
}

std::size_t CUH_Control::LongestLineLength() const {
  std::scoped_lock guard(lock_);
  return longest_;
}

int CUH_Control::LineLimit() const {
  std::scoped_lock guard(lock_);
  return line_limit_;
}

void CUH_Control::ReadHistory(const HistoryReader& reader) const {
  std::scoped_lock guard(lock_);
  reader(lines_, scroll_);
}

std::filesystem::path CUH_Control::FileNameFor(const std::tm& when) const {
  std::scoped_lock guard(lock_);
  return FileNameForLocked(when);
}

std::filesystem::path CUH_Control::FileNameForLocked(const std::tm& when) const {
  if (!dated_file_name_) return file_name_;
  return DatedLogFileName(file_name_, when);
}

void CUH_Control::WriteToFile(std::string_view line) {
  std::string entry;
  entry.reserve(line.size() + 1);
  entry += '\n';
  entry += line;
  WriteBlockToFile(entry);
}

void CUH_Control::WriteBlockToFile(std::string_view entries) {
  if (file_name_.empty()) return;
  std::time_t now = clock_ ? clock_() : std::time(nullptr);
  std::filesystem::path path = FileNameForLocked(LocalTime(now));
  // The file stays open between entries; each entry is one append, so other programs may read
  // the file between entries. A new day's name opens the new file, and once a second the name
  // is checked to still be the open file, so a log moved or removed by the administrator is
  // made again.
  const auto checked = std::chrono::steady_clock::now();
  if (file_ && path == open_name_ && checked - name_checked_ >= kLogNameCheckEvery) {
    struct stat by_name{}, by_fd{};
    if (::stat(path.c_str(), &by_name) != 0 || ::fstat(file_.Get(), &by_fd) != 0 ||
        by_name.st_ino != by_fd.st_ino || by_name.st_dev != by_fd.st_dev) {
      file_.Reset();
    }
    name_checked_ = checked;
  }
  if (!file_ || path != open_name_) {
    file_.Reset(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    open_name_ = path;
    name_checked_ = checked;
    if (!file_) return;
  }
  if (!WriteAll(file_.Get(), entries)) file_.Reset();  // tried afresh with the next entry
}

}  // namespace tarnhold
