#include "transport/smtp_transfer.h"

#include <fcntl.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "gateway/activity_log.h"
#include "gateway/recipient_copy.h"
#include "platform/locked_file.h"
#include "platform/profile_file.h"
#include "platform/spare_files.h"
#include "platform/text_case.h"
#include "platform/unique_fd.h"

namespace tarnhold {
namespace {

constexpr std::string_view kMessageIdField = "Message-Id:";

// The first CR or LF in [from, to), else `to`. Sixteen bytes at a time where SSE2 is there,
// else eight: a message is mostly short lines, and this runs once over every byte of them.
const char* FindCrOrLf(const char* from, const char* to) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighs = 0x8080808080808080u;
#if defined(__SSE2__)
  const __m128i crs = _mm_set1_epi8('\r');
  const __m128i lfs = _mm_set1_epi8('\n');
  while (to - from >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const int hits = _mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi8(bytes, crs), _mm_cmpeq_epi8(bytes, lfs)));
    if (hits != 0) return from + std::countr_zero(static_cast<unsigned>(hits));
    from += 16;
  }
#endif
  while (to - from >= 8) {
    std::uint64_t word;
    std::memcpy(&word, from, sizeof word);
    // The first byte in memory must be the lowest: borrows only run towards higher bytes.
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    // A byte of `cr` (`lf`) is zero where the word holds a CR (an LF); in (x - ones) & ~x &
    // highs the lowest flagged byte is the first zero byte of x (higher ones may be false).
    const std::uint64_t cr = word ^ (kOnes * '\r');
    const std::uint64_t lf = word ^ (kOnes * '\n');
    const std::uint64_t hits = (((cr - kOnes) & ~cr) | ((lf - kOnes) & ~lf)) & kHighs;
    if (hits != 0) return from + std::countr_zero(hits) / 8;
    from += 8;
  }
  while (from < to && *from != '\r' && *from != '\n') ++from;
  return from;
}

}  // namespace

bool DataLineTracker::Add(std::string_view read, bool complete, std::string& out) {
  const bool line_start = at_read_line_start_;
  at_read_line_start_ = complete;
  if (line_start && complete && read == ".\r\n") {
    out += read;
    return true;
  }
  Feed(read, out);
  return false;
}

DataLineTracker::BlockResult DataLineTracker::AddBlock(std::string_view block, std::string& out) {
  constexpr std::string_view kFinal = ".\r\n";
  std::size_t i = 0;
  while (i < block.size()) {
    // Where a read of the line reader would begin: just after a CR LF.
    const bool line_start = line_length_ == 0 && !pending_cr_ && !bare_start_;
    const std::string_view rest = block.substr(i);
    if (line_start && rest.starts_with(kFinal)) {
      out += kFinal;
      return {i + kFinal.size(), true};
    }
    if (line_start && kFinal.starts_with(rest)) return {i, false};
    if (line_start && !in_header_) {
      const std::size_t run = ConformingRun(block, i);
      if (run > 0) {
        out.append(block.substr(i, run));
        i += run;
        continue;
      }
    }
    // Anything else goes through the line-by-line rules up to the end of its line.
    const auto* lf = static_cast<const char*>(std::memchr(rest.data(), '\n', rest.size()));
    const std::size_t take =
        lf != nullptr ? static_cast<std::size_t>(lf - rest.data()) + 1 : rest.size();
    Feed(rest.substr(0, take), out);
    i += take;
  }
  return {i, false};
}

std::size_t DataLineTracker::ConformingRun(std::string_view block, std::size_t from) {
  const char* const end = block.data() + block.size();
  const char* line = block.data() + from;
  while (line < end) {
    // Ends in CR LF, has no other CR or LF, and is not the final line.
    const char* brk = FindCrOrLf(line, end);
    if (end - brk < 2 || brk[0] != '\r' || brk[1] != '\n') break;
    if (brk - line == 1 && line[0] == '.') break;
    line = brk + 2;
  }
  return static_cast<std::size_t>(line - (block.data() + from));
}

void DataLineTracker::Feed(std::string_view bytes, std::string& out) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    // The bytes up to the next CR or LF are taken as one run instead of byte by byte.
    if (!pending_cr_) {
      const auto* stop = std::find_if(bytes.begin() + i, bytes.end(),
                                      [](char c) { return c == '\r' || c == '\n'; });
      const std::size_t end = static_cast<std::size_t>(stop - bytes.begin());
      if (end > i) {
        Text(bytes.substr(i, end - i), out);
        i = end;
        continue;
      }
    }
    Byte(bytes[i++], out);
  }
}

void DataLineTracker::Byte(char c, std::string& out) {
  if (pending_cr_) {
    pending_cr_ = false;
    if (c == '\n') return LineBreak(false, out);
    LineBreak(true, out);
  }
  if (c == '\r') {
    pending_cr_ = true;
    return;
  }
  if (c == '\n') return LineBreak(true, out);
  Text(std::string_view(&c, 1), out);
}

void DataLineTracker::Text(std::string_view run, std::string& out) {
  // A line begun by a bare line end was never dot-stuffed by the client.
  if (line_length_ == 0 && run.front() == '.' && bare_start_) out += '.';
  out.append(run);
  line_length_ += run.size();
  if (head_.size() < kMessageIdField.size())
    head_.append(run.substr(0, std::min(run.size(), kMessageIdField.size() - head_.size())));
}

void DataLineTracker::LineBreak(bool bare, std::string& out) {
  if (in_header_ && line_length_ == 0) {
    // The empty line that ends the header.
    in_header_ = false;
    if (!has_message_id_) out += message_id_line_();
  } else if (in_header_ && StartsWithNoCase(head_, kMessageIdField)) {
    has_message_id_ = true;
  }
  // A lone "." that the client ended with a bare line end must not read as the end of data.
  if (bare && !bare_start_ && line_length_ == 1 && head_ == ".") out += '.';
  out += "\r\n";
  line_length_ = 0;
  head_.clear();
  bare_start_ = bare;
}

StatResult WriteStatFile(CServerSettings& settings, std::uint32_t number,
                         std::string_view peer_address, std::string& error) {
  try {
    // The receiver needs the file on disk before it acknowledges the message.
    return settings.WriteSourceInfo(number, peer_address, error, Flush::Yes)
               ? StatResult::Written
               : StatResult::FileError;
  } catch (...) {
    return StatResult::SystemError;
  }
}

bool MailTransfer::Begin(std::string_view first_recipient, std::string_view sender) {
  Discard();
  first_ = settings_.NewProcessingItem();
  if (!first_.IsOpen()) return false;
  write_failed_ = settings_.WriteHeader(first_, first_recipient, sender, 0, kReturnNone) != 0;
  return true;
}

void MailTransfer::Write(std::string_view bytes) {
  if (write_failed_) return;
  if (pending_.empty() && bytes.size() >= kTransferWriteBytes) {
    // Already a large write: no need to gather it first.
    if (settings_.WriteData(first_, bytes.data(), bytes.size()) != bytes.size()) {
      write_failed_ = true;
    }
    return;
  }
  pending_.append(bytes);
  if (pending_.size() >= kTransferWriteBytes) FlushPending();
}

void MailTransfer::FlushPending() {
  if (!write_failed_ && !pending_.empty() &&
      settings_.WriteData(first_, pending_.data(), pending_.size()) != pending_.size()) {
    write_failed_ = true;
  }
  pending_.clear();
}

bool MailTransfer::MakeCopy(std::string_view recipient) {
  SpoolItem copy;
  if (MakeRecipientCopy(settings_.Queue(), first_, recipient, copy) != RecipientCopyResult::Made) {
    return false;
  }
  // Held until Commit has every file of the message on disk.
  copies_.push_back(std::move(copy));
  return true;
}

bool MailTransfer::Commit(const std::vector<std::string>& further_recipients,
                          std::string_view peer_address) {
  FlushPending();
  bool ok = first_.IsOpen() && !write_failed_;
  for (std::size_t i = 0; ok && i < further_recipients.size(); ++i) {
    ok = MakeCopy(further_recipients[i]);
  }
  ok = ok && settings_.FlushToDisk(first_);
  for (SpoolItem& copy : copies_) ok = ok && settings_.FlushToDisk(copy);
  if (ok) {
    std::string error;
    stat_file_ = settings_.SourceInfoPath(first_.Number());
    switch (WriteStatFile(settings_, first_.Number(), peer_address, error)) {
      case StatResult::Written:
        SmtpInLogLine("Mail received OK from " + std::string(peer_address));
        break;
      case StatResult::FileError:
        SmtpInLogLine("file error writing stat info: " + error);
        ok = false;
        break;
      case StatResult::SystemError:
        SmtpInLogLine("system error writing stat info");
        ok = false;
        break;
    }
  }
  if (!ok) {
    Discard();
    return false;
  }
  // Everything is on disk: release the copies, then the first item (whose source file the
  // sweeper reads).
  for (SpoolItem& copy : copies_) settings_.CloseItem(copy, OnClose::Keep);
  copies_.clear();
  settings_.CloseItem(first_, OnClose::Keep);
  stat_file_.clear();
  return true;
}

void MailTransfer::Discard() {
  for (SpoolItem& copy : copies_) {
    if (copy.IsOpen()) settings_.CloseItem(copy, OnClose::Delete);
  }
  copies_.clear();
  if (!stat_file_.empty()) {
    RemoveToSpare(stat_file_, settings_.Layout().Spare());
    stat_file_.clear();
  }
  if (first_.IsOpen()) settings_.CloseItem(first_, OnClose::Delete);
  write_failed_ = false;
  pending_.clear();
}

}  // namespace tarnhold
