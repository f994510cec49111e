// MailboxStore: reading an open message line by line, and its Message-Id header.
#include <algorithm>
#include <cstring>

#include "gateway/mailbox_store.h"
#include "platform/text_case.h"

namespace tarnhold {
namespace {

enum class LineStatus { Line, End, Error };

struct ReadLineResult {
  LineStatus status = LineStatus::End;
  bool complete = false;  // the line ended with CR, LF or CR LF (not a piece, not the last)
};

// Reads the next line of `file` into `line` (at most `cap` bytes) and leaves the file right
// after its line end. A line longer than `cap` comes back in pieces (complete = false).
ReadLineResult NextLine(LockedFile& file, std::string& line, std::size_t cap) {
  line.clear();
  const std::int64_t start = file.Position();
  if (start < 0) return {LineStatus::Error, false};
  std::string buf(cap + 2, '\0');  // the line, its CR and the LF after it
  long n = file.Read(buf.data(), buf.size());
  if (n < 0) return {LineStatus::Error, false};
  if (n == 0) return {LineStatus::End, false};
  const auto got = static_cast<std::size_t>(n);
  const std::size_t scan = std::min(got, cap + 1);
  const std::size_t end = buf.find_first_of("\r\n", 0);
  if (end < scan) {
    std::size_t next = end + 1;
    if (buf[end] == '\r' && next < got && buf[next] == '\n') ++next;
    line.assign(buf.data(), end);
    if (!file.Seek(start + static_cast<std::int64_t>(next))) return {LineStatus::Error, false};
    return {LineStatus::Line, true};
  }
  if (got <= cap) {  // the file ends inside this line: the last line has no line end
    (void)file.Seek(start + n);
    return {LineStatus::End, false};
  }
  line.assign(buf.data(), cap);
  if (!file.Seek(start + static_cast<std::int64_t>(cap))) return {LineStatus::Error, false};
  return {LineStatus::Line, false};
}

std::string_view SkipBlanks(std::string_view s) {
  std::size_t first = s.find_first_not_of(" \t");
  return first == std::string_view::npos ? std::string_view() : s.substr(first);
}

}  // namespace

int MailboxStore::ReadLine(SpoolItem& message, char* buffer, std::size_t size,
                           bool* complete) const {
  if (complete != nullptr) *complete = false;
  if (!message.IsOpen() || buffer == nullptr || size < 2) return -1;
  std::string line;
  ReadLineResult r = NextLine(message.file_, line, size - 1);
  if (r.status == LineStatus::Error) return -1;
  if (complete != nullptr) *complete = r.status == LineStatus::Line && r.complete;
  std::memcpy(buffer, line.data(), line.size());
  buffer[line.size()] = '\0';
  return r.status == LineStatus::End ? 0 : static_cast<int>(line.size());
}

int MailboxStore::FindMessageId(SpoolItem& message, std::string& value, std::size_t size) const {
  value.clear();
  if (!message.IsOpen() || size < 2 || !message.file_.Seek(0)) return 1;
  constexpr std::string_view kField = "Message-Id:";
  std::string line;
  bool at_line_start = true;
  for (;;) {
    ReadLineResult r = NextLine(message.file_, line, kMessageIdLineSize - 1);
    if (r.status != LineStatus::Line) return 1;
    if (at_line_start && line.empty()) return 1;  // the end of the header
    if (at_line_start && StartsWithNoCase(line, kField)) {
      std::string_view text = SkipBlanks(std::string_view(line).substr(kField.size()));
      std::string folded;
      if (text.empty() && r.complete &&
          NextLine(message.file_, folded, kMessageIdLineSize - 1).status == LineStatus::Line &&
          !folded.empty() && (folded[0] == ' ' || folded[0] == '\t')) {
        text = SkipBlanks(folded);
      }
      value.assign(text.substr(0, std::min(text.size(), size - 1)));
      return 0;
    }
    at_line_start = r.complete;
  }
}

}  // namespace tarnhold
