#include "message/uu_coder.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "message/part_encoders.h"
#include "message/result_codes.h"
#include "message/uuencode.h"
#include "platform/data_root.h"

namespace tarnhold {
namespace {

constexpr std::size_t kMaxUuName = 260;

bool IsEndLine(std::string_view line) { return line == "end" || line == "end\r\n"; }

}  // namespace

bool ParseBeginLine(std::string_view line, int& mode, std::string& name, int mode_base) {
  if (line.substr(0, 6) != "begin ") return false;
  std::size_t at = line.find_first_not_of(' ', 6);
  if (at == std::string_view::npos) return false;
  std::size_t digits_end = at;
  while (digits_end < line.size() && line[digits_end] >= '0' &&
         line[digits_end] < '0' + std::min(mode_base, 10) && digits_end - at < 9) {
    ++digits_end;
  }
  if (digits_end == at) return false;
  mode = std::stoi(std::string(line.substr(at, digits_end - at)), nullptr, mode_base);
  at = line.find_first_not_of(" \t", digits_end);
  std::string_view rest = at == std::string_view::npos ? "" : line.substr(at);
  name = std::string(rest.substr(0, rest.find_first_of("\r\n")));
  return true;
}

int CUuCoder::AttachmentCount() const { return static_cast<int>(blocks_.size()); }

void CUuCoder::ClearAttachments() { blocks_.clear(); }

CUuCoder::Block* CUuCoder::BlockAt(int index) {
  if (index < 0 || index >= static_cast<int>(blocks_.size())) return nullptr;
  return &*std::next(blocks_.begin(), index);
}

int CUuCoder::AddAttachment(CDataSource& source, const std::string& name, const CTextList*) {
  if (source.Open(kOpenRead) != 0) return kResultOpenFailed;
  std::int64_t size = source.Seek(0, kSeekEnd);
  source.Close();
  Block block;
  block.source = source.Clone();
  block.name = name.substr(0, kMaxUuName);
  block.size = std::max<std::int64_t>(0, size);
  blocks_.push_back(std::move(block));
  return kResultOk;
}

bool CUuCoder::Recognise() {
  if (!parsed_ || parsed_->Seek(0, kSeekStart) != 0) return false;
  // The text is looked at in the pieces a line reader of 100 characters gives: each line, a
  // longer one in pieces of 99. It is read in large blocks, as the whole text is looked at
  // when there is no block at all (most mail).
  constexpr std::size_t kPiece = 99;
  constexpr std::size_t kBlock = 64 * 1024;
  std::string text;
  std::size_t at = 0;  // where the next piece starts in `text`
  bool at_end = false;
  for (;;) {
    if (!at_end && text.size() - at < kPiece) {
      text.erase(0, at);
      at = 0;
      const std::size_t held = text.size();
      text.resize(held + kBlock);
      const long n = parsed_->Read(text.data() + held, kBlock);
      text.resize(held + static_cast<std::size_t>(std::max(0L, n)));
      at_end = n <= 0;
      continue;
    }
    if (at >= text.size()) return false;
    const std::size_t available = std::min(kPiece, text.size() - at);
    const char* piece = text.data() + at;
    const void* lf = std::memchr(piece, '\n', available);
    const std::size_t length =
        lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - piece) + 1 : available;
    if (std::string_view(piece, length).starts_with("begin ")) {
      int mode = 0;
      std::string name;
      return ParseBeginLine(std::string_view(piece, length), mode, name, 10) && mode / 100 == 6;
    }
    at += length;
  }
}

int CUuCoder::Parse(CDataSource& source) {
  text_start_ = text_end_ = -1;
  parsed_.reset();
  ClearAttachments();
  auto clone = source.Clone();
  if (clone->Open(kOpenRead) != 0) return kResultOpenFailed;
  parsed_ = std::move(clone);
  if (!Recognise()) {
    parsed_.reset();
    return kResultNotFound;
  }
  std::int64_t header_end = parsed_->Find("\r\n\r\n", 0, true, 0);
  if (header_end < 0) return kResultNotFound;
  text_start_ = header_end + 4;
  std::int64_t end_line = -1;  // the last "end" found; the next search can reuse it
  std::string line;
  for (std::int64_t at = parsed_->Find("begin", text_start_, false, 0); at >= 0;
       at = parsed_->Find("begin", at + 12, false, 0)) {
    if (text_end_ < 0) text_end_ = at;
    if (static_cast<int>(blocks_.size()) == kMaxUuBlocks) return kResultNotFound;
    parsed_->Seek(at, kSeekStart);
    parsed_->ReadLine(line, 260);
    Block block;
    int mode = 0;
    ParseBeginLine(line, mode, block.name);
    block.name.resize(std::min(block.name.size(), kMaxUuName));
    std::int64_t after_line = at + static_cast<std::int64_t>(line.size());
    if (end_line < after_line) end_line = parsed_->Find("end\r\n", after_line, true, 0);
    if (end_line < 0) return kResultNotFound;
    block.offset = at;
    block.length = end_line - at + 7;
    blocks_.push_back(std::move(block));
  }
  return kResultOk;
}

int CUuCoder::ExtractText(CDataSource& destination, bool append) {
  if (!parsed_ || text_start_ < 0 || text_end_ < 0 || text_end_ < text_start_) {
    return kResultNotFound;
  }
  if (destination.Open(append ? kOpenAppend : kOpenWrite) != 0) return kResultOpenFailed;
  int rc = kResultOk;
  std::int64_t copied = 0;
  if (parsed_->Seek(text_start_, kSeekStart) == text_start_) {
    rc = CopyData(*parsed_, destination, text_end_ - text_start_, 511, &copied);
  }
  if (rc == kResultOk && copied < text_end_ - text_start_) rc = kResultNotFound;
  if (destination.Close() != 0 && rc == kResultOk) rc = kResultShortWrite;
  return rc;
}

int CUuCoder::DecodeAttachment(int index, CDataSource& destination, bool append) {
  if (!parsed_) return kResultOpenFailed;
  const Block* block = BlockAt(index);
  if (!block) return kResultBadIndex;
  auto source = parsed_->Clone();
  if (destination.Open(append ? kOpenAppend : kOpenWrite) != 0) return kResultOpenFailed;
  if (source->Open(kOpenRead) != 0) {
    destination.Close();
    return kResultOpenFailed;
  }
  int rc = kResultNoBeginLine;
  std::string line;
  if (source->Seek(block->offset, kSeekStart) == block->offset) {
    while (source->ReadLine(line, 100) > 0) {
      if (line.compare(0, 6, "begin ") == 0) {
        rc = kResultUuDataEnded;
        break;
      }
    }
  }
  std::string bytes;
  while (rc == kResultUuDataEnded && source->ReadLine(line, 100) > 0) {
    bytes.clear();
    if (IsEndLine(line) || !DecodeUuLine(line, bytes)) {
      rc = kResultOk;
    } else if (!WriteText(destination, bytes)) {
      rc = kResultShortWrite;
    }
  }
  source->Close();
  if (destination.Close() != 0 && rc == kResultOk) rc = kResultShortWrite;
  return rc;
}

std::int64_t CUuCoder::AttachmentSize(int index) {
  std::int64_t sum = 0;
  int i = 0;
  for (const auto& b : blocks_) {
    std::int64_t size = (!b.source && b.size == 0) ? b.length * 3 / 4 : b.size;
    if (i++ == index) return size;
    sum += size;
  }
  return sum;
}

int CUuCoder::AttachmentInfo(int index, std::string* name, std::size_t name_length,
                             std::string* type, std::size_t type_length, CTextList*) {
  const Block* block = BlockAt(index);
  if (!name || !block) return kResultNotFound;
  CopyCut(block->name, name, name_length);
  CopyCut("", type, type_length);
  return kResultOk;
}

int CUuCoder::CopyParsedBlock(const Block& block, CDataSource& output) {
  auto copy = parsed_->Clone();
  if (copy->Open(kOpenRead) != 0) return -1;
  // A block is copied from its "begin" through its "end" line.
  int rc = kResultOk;
  if (copy->Seek(block.offset, kSeekStart) == block.offset) {
    rc = CopyData(*copy, output, std::max<std::int64_t>(0, block.length - 2), 1000);
  }
  copy->Close();
  return rc;
}

int CUuCoder::Encode(CDataSource& body, CDataSource& output, bool append) {
  if (output.Open(append ? kOpenAppend : kOpenWrite) != 0) return kResultOpenFailed;
  if (body.Open(kOpenRead) != 0) {
    output.Close();
    return kResultOpenFailed;
  }
  bool short_write = CopyData(body, output, -1, 511) != kResultOk;
  if (!blocks_.empty() && !WriteText(output, "\r\n\r\n")) short_write = true;
  for (auto& block : blocks_) {
    if (short_write) break;
    bool parsed = !block.source && parsed_ && block.offset >= 1 && block.length >= 1;
    int rc = parsed ? CopyParsedBlock(block, output) : -1;
    if (rc == -1) {
      if (!block.source || block.source->Open(kOpenRead) != 0) break;
      rc = WriteUuBlock(*block.source, std::string(LastPathElement(block.name)), output);
      block.source->Close();
    }
    short_write = rc != kResultOk;
  }
  int closed = output.Close() | body.Close();
  if (short_write) return kResultShortWrite;
  return closed != 0 ? kResultCloseFailed : kResultOk;
}

}  // namespace tarnhold
