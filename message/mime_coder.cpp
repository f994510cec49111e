#include "message/mime_coder.h"

#include <algorithm>
#include <limits>

#include "message/base64.h"
#include "message/mime_boundary.h"
#include "message/part_encoders.h"
#include "message/result_codes.h"
#include "platform/profile_file.h"

namespace tarnhold {
namespace {

constexpr std::int64_t kNoEnd = std::numeric_limits<std::int64_t>::max();
constexpr int kMaxFieldCandidates = 256;

}  // namespace

CMimeCoder::CMimeCoder() { ResetGlobalHeaders(true); }

void CMimeCoder::ResetGlobalHeaders(bool folded) {
  global_headers_.Clear();
  (void)MakeBoundary(boundary_, 30);
  global_headers_.Add("MIME-Version: 1.0\r\n");
  global_headers_.Add(std::string("Content-Type: Multipart/Mixed;") + (folded ? "\r\n\t" : " ") +
                      "boundary=\"" + boundary_ + "\"\r\n");
}

int CMimeCoder::AttachmentCount() const { return static_cast<int>(attachments_.size()); }

void CMimeCoder::ClearAttachments() {
  attachments_.clear();
  last_added_ = nullptr;
}

AttachmentRecord* CMimeCoder::RecordAt(int index) {
  if (index < 0 || index >= static_cast<int>(attachments_.size())) return nullptr;
  return &*std::next(attachments_.begin(), index);
}

const AttachmentRecord* CMimeCoder::Record(int index) const {
  return const_cast<CMimeCoder*>(this)->RecordAt(index);
}

int CMimeCoder::AddAttachment(CDataSource& source, const std::string& name,
                              const CTextList* parameters) {
  if (source.Open(kOpenRead) != 0) return kResultOpenFailed;
  std::int64_t size = source.Seek(0, kSeekEnd);
  source.Close();
  AttachmentRecord record;
  record.source = source.Clone();
  record.name = name;
  record.size = std::max<std::int64_t>(0, size);
  if (parameters) {
    const char* encoding = parameters->Get(0);
    if (encoding && *encoding) {
      int value = ParseLeadingInt(encoding);
      record.encoding =
          (value >= kEncoding7Bit && value <= kEncodingMultipart) ? value : kEncodingBase64;
    }
    if (const char* p = parameters->Get(1)) record.content_type = p;
    if (const char* p = parameters->Get(2)) record.charset = p;
    if (const char* p = parameters->Get(3)) record.type_parameter = p;
  }
  attachments_.push_front(std::move(record));
  last_added_ = &attachments_.front();
  return kResultOk;
}

int CMimeCoder::AddPartHeader(std::string_view text) {
  if (!last_added_) return -1;
  if (!last_added_->extra_headers) last_added_->extra_headers = std::make_unique<CTextList>();
  last_added_->extra_headers->Add(text);
  return kResultOk;
}

int CMimeCoder::GlobalHeaderCount() const { return static_cast<int>(global_headers_.Count()); }

const char* CMimeCoder::GlobalHeader(int index) const {
  return index < 0 ? nullptr : global_headers_.Get(static_cast<std::size_t>(index));
}

int CMimeCoder::WriteParsedPart(AttachmentRecord& r, CDataSource& output) {
  if (r.source || !parsed_ || r.data_offset < 1 || r.data_length < 1) {
    return EncodePart(r.encoding, &r, output);
  }
  auto copy = parsed_->Clone();
  if (copy->Open(kOpenRead) != 0) return EncodePart(r.encoding, &r, output);
  // The part is copied with its own header lines, which begin after its boundary line.
  std::int64_t from = r.header_offset >= 0 ? r.header_offset : r.data_offset;
  int rc = kResultOk;
  if (copy->Seek(from, kSeekStart) == from) {
    rc = CopyData(*copy, output, r.data_offset + r.data_length - from, 1000);
  }
  copy->Close();
  return rc;
}

int CMimeCoder::Encode(CDataSource& body, CDataSource& output, bool append) {
  if (output.Open(append ? kOpenAppend : kOpenWrite) != 0) return kResultOpenFailed;
  if (body.Open(kOpenRead) != 0) {
    output.Close();
    return kResultOpenFailed;
  }
  int rc = kResultOk;
  if (attachments_.empty()) {
    rc = CopyData(body, output, -1, 511);
    int closed = output.Close() | body.Close();
    return rc != kResultOk ? rc : (closed != 0 ? kResultCloseFailed : kResultOk);
  }
  const std::string line = "\r\n--" + boundary_ + "\r\n";
  if (!WriteText(output, "This is a multi-part message in MIME format.\r\n") ||
      !WriteText(output, line)) {
    rc = kResultShortWrite;
  }
  if (rc == kResultOk) {
    AttachmentRecord text;
    text.source = body.Clone();
    text.content_type = "text/plain";
    text.encoding = kEncodingBase64;
    rc = EncodeBase64Part(&text, output);
  }
  for (auto& record : attachments_) {
    if (rc != kResultOk) break;
    rc = WriteText(output, line) ? WriteParsedPart(record, output) : kResultShortWrite;
  }
  bool closing_written = WriteText(output, "\r\n--" + boundary_ + "--\r\n");
  int closed = output.Close() | body.Close();
  ResetGlobalHeaders(false);
  if (rc != kResultOk) return rc;
  if (!closing_written) return kResultNotFound;
  return closed != 0 ? kResultCloseFailed : kResultOk;
}

std::int64_t CMimeCoder::FindIn(std::string_view text, std::int64_t from, std::int64_t to,
                                bool case_sensitive) {
  std::int64_t n = static_cast<std::int64_t>(text.size());
  if (!parsed_ || from < 0 || to - from < n) return -1;
  std::int64_t at = parsed_->Find(text, from, case_sensitive, to == kNoEnd ? 0 : to - from);
  return (at >= 0 && at + n <= to) ? at : -1;
}

std::string CMimeCoder::ReadAt(std::int64_t pos, std::size_t count) {
  std::string text(count, '\0');
  if (parsed_->Seek(pos, kSeekStart) != pos) return "";
  long n = parsed_->Read(text.data(), count);
  text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return text;
}

bool CMimeCoder::Recognise() {
  if (!parsed_ || parsed_->Seek(0, kSeekStart) != 0) return false;
  std::int64_t header_end = FindIn("\r\n\r\n", 0, kNoEnd, true);
  return header_end >= 0 && FindIn("MIME-Version: 1.0", 0, header_end, false) >= 0;
}

std::int64_t CMimeCoder::FindField(std::string_view name, std::int64_t from, std::int64_t to) {
  // A field name counts only at the start of a header line: "X-Original-Content-Type:"
  // must not decide how a part is read. A header that names the field inside other lines
  // this often is not a header a client reads either: the search ends there.
  int candidates = 0;
  for (std::int64_t at = FindIn(name, from, to, false);
       at >= 0 && candidates++ < kMaxFieldCandidates; at = FindIn(name, at + 1, to, false)) {
    if (at == from || ReadAt(at - 1, 1) == "\n") return at;
  }
  return -1;
}

int CMimeCoder::ClassifyTopLevel(std::int64_t header_end) {
  std::int64_t at = FindField("Content-Type:", 0, header_end);
  // Without a Content-Type field the message is text/plain, as MIME defines.
  if (at < 0) return kClassText;
  std::string main_type;
  std::string field = ReadUnfoldedField(*parsed_, at).substr(0, 259);
  return TopLevelMainType(field, main_type) ? ContentClassOf(main_type) : content_class_;
}

std::string CMimeCoder::FindBoundary(std::int64_t from, std::int64_t to) {
  std::int64_t type = FindIn("Multipart/", from, to, false);
  if (type < 0) return "";
  std::int64_t keyword = FindIn("boundary", type, to, false);
  return keyword < 0 ? "" : BoundaryFromText(ReadAt(keyword, 199));
}

std::list<CMimeCoder::Span> CMimeCoder::SplitParts(const std::string& marker, std::int64_t from,
                                                   std::int64_t to) {
  std::list<Span> spans;
  const std::int64_t length = static_cast<std::int64_t>(marker.size());
  std::int64_t at = FindIn(marker, from, to, true);
  while (at >= 0) {
    std::int64_t after = at + length;
    if (ReadAt(after, 2) == "--") break;  // the closing marker: nothing after it is a part
    std::int64_t next =
        static_cast<int>(spans.size()) + 1 < kMaxMimeParts ? FindIn(marker, after, to, true) : -1;
    // Without a closing marker (a cut message) the last part runs to the end, so that no
    // part a mail client would show goes unseen.
    std::int64_t end = next >= 0 ? next : to;
    if (end > after || next >= 0) spans.push_back({after, end - after});
    at = next;
  }
  return spans;
}

bool CMimeCoder::DescribePart(AttachmentRecord& r, Span span, std::int64_t marker_length,
                              std::int64_t scope_from) {
  const std::int64_t end = span.offset + span.length;
  const std::int64_t blank = FindIn("\r\n\r\n", span.offset, end, true);
  // Header fields are looked for in the part's header only: a field name quoted in the data
  // must not decide how the data is read.
  const std::int64_t header_end = blank >= 0 ? blank + 2 : end;
  std::int64_t at = FindField("Content-type:", scope_from, header_end);
  if (at >= 0) {
    MimeField field = ParseMimeField(ReadUnfoldedField(*parsed_, at));
    if (EqualsNoCase(field.field_name, "Content-Type")) {
      r.content_type = field.value;
      r.name = field.name;
      r.charset = field.charset;
      r.type_parameter = field.type;
    }
  } else {
    r.content_type = "Text/Plain";
    r.charset = "US-ASCII";
  }
  // Many senders name a file only in its Content-Disposition, and where both name it, mail
  // clients show the Content-Disposition's name: so do the checks.
  at = FindField("Content-Disposition:", scope_from, header_end);
  if (at >= 0) {
    MimeField field = ParseMimeField(ReadUnfoldedField(*parsed_, at));
    if (EqualsNoCase(field.field_name, "Content-Disposition") && !field.filename.empty())
      r.name = field.filename;
  }
  const bool alternative = EqualsNoCase(r.content_type, "multipart/alternative");
  r.encoding = kEncoding7Bit;
  if (!alternative) {
    at = FindField("Content-transfer-encoding:", scope_from, header_end);
    if (at >= 0) r.encoding = EncodingFromText(ReadAt(at, 100));
  }
  if (blank >= 0) {
    r.data_offset = blank + 4;
    r.data_length = end - r.data_offset;
  } else {
    r.data_offset = span.offset + marker_length;
    r.data_length = std::max<std::int64_t>(0, span.length - marker_length);
  }
  if (scope_from == span.offset) {
    std::int64_t line_end = FindIn("\r\n", span.offset, end, true);
    r.header_offset = line_end >= 0 ? std::min(line_end + 2, r.data_offset) : r.data_offset;
  }
  return !alternative;
}

int CMimeCoder::Parse(CDataSource& source) {
  part_count_ = 0;
  content_class_ = kClassOther;
  if (parsed_) {
    parsed_.reset();
    ClearAttachments();
    global_headers_.Clear();
  }
  auto clone = source.Clone();
  if (clone->Open(kOpenRead) != 0) return kResultOpenFailed;
  parsed_ = std::move(clone);
  if (!Recognise()) {
    parsed_.reset();
    return kResultNotFound;
  }
  const std::int64_t header_end = FindIn("\r\n\r\n", 0, kNoEnd, true);
  content_class_ = ClassifyTopLevel(header_end);
  if (content_class_ == kClassOther || header_end < 0) return kResultNotFound;
  const std::int64_t size = parsed_->Size();

  std::list<Span> spans;
  bool multipart = content_class_ == kClassMultipart;
  if (multipart) {
    std::string boundary = FindBoundary(0, header_end);
    if (boundary.empty()) return kResultNotFound;
    marker_ = "\r\n--" + boundary;
    spans = SplitParts(marker_, 0, size);
  } else {
    spans.push_back({header_end, size - header_end});
  }
  part_count_ = static_cast<int>(spans.size());
  struct {
    std::int64_t start = 0, end = 0;
    int index = -1;
  } alternative;
  for (const Span& span : spans) {
    AttachmentRecord record;
    if (!DescribePart(record, span, static_cast<std::int64_t>(marker_.size()),
                      multipart ? span.offset : 0)) {
      alternative = {span.offset, span.offset + span.length, AttachmentCount()};
    }
    attachments_.push_back(std::move(record));
  }
  if (alternative.index >= 0)
    ExpandAlternative(alternative.start, alternative.end, alternative.index);
  return kResultOk;
}

void CMimeCoder::ExpandAlternative(std::int64_t start, std::int64_t end, int index) {
  AttachmentRecord* container = RecordAt(index);
  if (!container || !parsed_) return;
  std::int64_t blank = FindIn("\r\n\r\n", start, end, true);
  std::string boundary = FindBoundary(start, blank >= 0 ? blank + 2 : end);
  if (boundary.empty()) return;  // kept as one part, its data copied as it stands
  const std::string marker = "\r\n--" + boundary;
  for (const Span& span : SplitParts(marker, start, end)) {
    AttachmentRecord record;
    DescribePart(record, span, static_cast<std::int64_t>(marker.size()), span.offset);
    attachments_.push_back(std::move(record));
  }
  attachments_.erase(std::next(attachments_.begin(), index));
}

int CMimeCoder::ExtractText(CDataSource& destination, bool append) {
  int index = 0;
  auto it = attachments_.begin();
  for (; it != attachments_.end(); ++it, ++index) {
    if (it->name.empty() && EqualsNoCase(it->content_type, "text/plain")) break;
  }
  if (it == attachments_.end()) {
    return content_class_ == kClassMultipart ? kResultNotFound : kResultOk;
  }
  int rc = DecodeAttachment(index, destination, append);
  if (last_added_ == &*it) last_added_ = nullptr;
  attachments_.erase(it);
  return rc;
}

int CMimeCoder::WriteNestedMessage(int index, CDataSource& destination) {
  if (!parsed_) return kResultOpenFailed;
  const AttachmentRecord* r = RecordAt(index);
  if (!r) return kResultBadIndex;
  if (destination.Open(kOpenWrite) != 0) return kResultOpenFailed;
  int rc = WriteText(destination, "MIME-Version: 1.0\r\n") ? kResultOk : kResultShortWrite;
  if (rc == kResultOk) {
    const std::int64_t end = r->data_offset + r->data_length;
    if (r->header_offset >= 0 && StartsWithNoCase(r->content_type, "multipart/")) {
      // The boundary is in the part's own header: it goes along, and the data as it stands.
      rc = CopyRawPart(*parsed_, r->header_offset, end - r->header_offset, destination);
    } else {
      rc = DecodePart(r->encoding, *parsed_, r->data_offset, r->data_length, destination);
    }
  }
  if (destination.Close() != 0 && rc == kResultOk) rc = kResultShortWrite;
  return rc;
}

int CMimeCoder::DecodeAttachment(int index, CDataSource& destination, bool append) {
  if (!parsed_) return kResultOpenFailed;
  const AttachmentRecord* r = RecordAt(index);
  if (!r) return kResultBadIndex;
  if (destination.Open(append ? kOpenAppend : kOpenWrite) != 0) return kResultOpenFailed;
  int rc = DecodePart(r->encoding, *parsed_, r->data_offset, r->data_length, destination);
  if (destination.Close() != 0 && rc == kResultOk) rc = kResultShortWrite;
  return rc;
}

std::int64_t CMimeCoder::AttachmentSize(int index) {
  std::int64_t sum = 0;
  int i = 0;
  for (const auto& r : attachments_) {
    std::int64_t size = (!r.source && r.size == 0) ? r.data_length * 3 / 4 : r.size;
    if (i++ == index) return size;
    sum += size;
  }
  return sum;
}

int CMimeCoder::AttachmentInfo(int index, std::string* name, std::size_t name_length,
                               std::string* type, std::size_t type_length, CTextList* parameters) {
  const AttachmentRecord* r = RecordAt(index);
  if (!r) return kResultNotFound;
  CopyCut(r->name, name, name_length);
  CopyCut(r->content_type, type, type_length);
  if (parameters) {
    parameters->Clear();
    parameters->Add(std::to_string(r->encoding));
  }
  return kResultOk;
}

}  // namespace tarnhold
