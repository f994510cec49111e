// The MIME coder: composes multipart/mixed messages from a body and added attachments, and
// parses a MIME message into part records located by offset in the parsed source (parts
// are never copied into memory). One multipart/alternative part is replaced by its
// sub-parts. The parsed source must stay readable while attachments are decoded.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "message/attachment_record.h"
#include "message/message_coder.h"
#include "message/mime_header.h"

namespace tarnhold {

// Most part records one parse makes; the stretch after the last is kept as one part, so
// nothing of a message is left out.
inline constexpr int kMaxMimeParts = 1000;

class CMimeCoder : public CMessageCoder {
 public:
  // Makes the first boundary and the global headers ("MIME-Version: 1.0" and a folded
  // "Content-Type: Multipart/Mixed" line naming the boundary).
  CMimeCoder();

  [[nodiscard]] const char* GetName() const override { return "Mime"; }
  [[nodiscard]] int AttachmentCount() const override;
  void ClearAttachments() override;
  // Puts the new record at the head of the list: Encode writes attachments in reverse order
  // of adding. Parameter 0 outside 0-6, or absent, gives BASE64.
  int AddAttachment(CDataSource& source, const std::string& name,
                    const CTextList* parameters) override;
  int AddPartHeader(std::string_view text) override;
  [[nodiscard]] int GlobalHeaderCount() const override;
  [[nodiscard]] const char* GlobalHeader(int index) const override;
  // Preamble, the body as a BASE64 text/plain first part, each attachment, closing line;
  // without attachments the body alone. Parsed parts are copied unchanged. Afterwards a new
  // boundary is made. 0; 80 open failures; 81 a failed close; 82 a short write; the first
  // part's failure; 1 when only the closing line was short.
  int Encode(CDataSource& body, CDataSource& output, bool append) override;
  // 0 parsed; 80 the source cannot be opened; 1 not MIME, no known content class, no header
  // end, or no boundary in a multipart header.
  int Parse(CDataSource& source) override;
  // Decodes the first unnamed text/plain part and removes it from the list. Without one:
  // 1 for a multipart message, 0 otherwise.
  int ExtractText(CDataSource& destination, bool append) override;
  [[nodiscard]] std::int64_t AttachmentSize(int index) override;
  int AttachmentInfo(int index, std::string* name, std::size_t name_length, std::string* type,
                     std::size_t type_length, CTextList* parameters) override;
  // 80 no parsed source or the destination cannot be opened; 38 index out of range; 82 a
  // short write (or a failed close of the destination); -1 BINHEX40.
  int DecodeAttachment(int index, CDataSource& destination, bool append) override;
  [[nodiscard]] bool Recognise() override;
  // Writes the part at `index` as a message of its own, for reading what is nested in it:
  // "MIME-Version: 1.0", then for a multipart part its header lines and data as they stand,
  // for any other part (an attached message) its decoded data. 0; 80 no parsed source or
  // the destination cannot be opened; 38 index out of range; 82 a short write.
  int WriteNestedMessage(int index, CDataSource& destination);
  // Replaces the multipart/alternative record at `index`, spanning [start, end) of the parsed
  // source, by its sub-parts appended at the end of the list.
  void ExpandAlternative(std::int64_t start, std::int64_t end, int index);

  [[nodiscard]] int TopLevelClass() const { return content_class_; }
  // Parts the last parse found at the top level.
  [[nodiscard]] int PartCount() const { return part_count_; }
  [[nodiscard]] const std::string& Boundary() const { return boundary_; }
  // Record access for the message file and tests (nullptr past the end).
  [[nodiscard]] const AttachmentRecord* Record(int index) const;

 private:
  struct Span {
    std::int64_t offset;
    std::int64_t length;
  };
  void ResetGlobalHeaders(bool folded);
  [[nodiscard]] AttachmentRecord* RecordAt(int index);
  [[nodiscard]] int ClassifyTopLevel(std::int64_t header_end);
  // Where the field `name` begins a header line in [from, to); -1 when it does not.
  [[nodiscard]] std::int64_t FindField(std::string_view name, std::int64_t from, std::int64_t to);
  [[nodiscard]] std::string FindBoundary(std::int64_t from, std::int64_t to);
  [[nodiscard]] std::list<Span> SplitParts(const std::string& marker, std::int64_t from,
                                           std::int64_t to);
  // Fills type, name, encoding and data range of a record spanning `span`; the header
  // fields are looked for in [scope_from, its header end). False for multipart/alternative.
  bool DescribePart(AttachmentRecord& record, Span span, std::int64_t marker_length,
                    std::int64_t scope_from);
  [[nodiscard]] std::int64_t FindIn(std::string_view text, std::int64_t from, std::int64_t to,
                                    bool case_sensitive);
  [[nodiscard]] std::string ReadAt(std::int64_t pos, std::size_t count);
  // Copies a parsed part unchanged, or encodes a record that has its own source.
  int WriteParsedPart(AttachmentRecord& record, CDataSource& output);

  std::unique_ptr<CDataSource> parsed_;
  std::list<AttachmentRecord> attachments_;
  AttachmentRecord* last_added_ = nullptr;
  CTextList global_headers_;
  std::string boundary_;
  std::string marker_;
  int content_class_ = kClassOther;
  int part_count_ = 0;
};

}  // namespace tarnhold
