// Part encoders and decoders of the MIME coder, one per transfer encoding. An encoder writes
// the part's header lines, its extra header lines, a blank line and the encoded data of the
// record's own source to an open output; a decoder turns a parsed part's data back into bytes.
// Both stop at the first short write with 82 and leave what was written in place.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "message/attachment_record.h"
#include "message/data_source.h"

namespace tarnhold {

// Encodes `record` (its own source) as `encoding` into `out`, which is open. Returns 0 when the
// source is exhausted; 99 no record, 80 the record's source cannot be opened, 82 a short
// write, 83/84 from the 7BIT and 8BIT checks, -1 for BINHEX40. MULTIPART writes nothing.
// The record's source is closed before returning.
[[nodiscard]] int EncodePart(int encoding, AttachmentRecord* record, CDataSource& out);

[[nodiscard]] int Encode7BitPart(AttachmentRecord* record, CDataSource& out);
[[nodiscard]] int Encode8BitPart(AttachmentRecord* record, CDataSource& out);
[[nodiscard]] int EncodeBinaryPart(AttachmentRecord* record, CDataSource& out);
[[nodiscard]] int EncodeBase64Part(AttachmentRecord* record, CDataSource& out);
[[nodiscard]] int EncodeQuotedPrintablePart(AttachmentRecord* record, CDataSource& out);

// Decodes the `length` bytes at `offset` of the open `message` into the open `dest`.
// Returns 0, 82 on a short write, -1 for BINHEX40. 7BIT, 8BIT, BINARY and MULTIPART (and any
// unknown number) are copied unchanged.
[[nodiscard]] int DecodePart(int encoding, CDataSource& message, std::int64_t offset,
                             std::int64_t length, CDataSource& dest);

// The raw copy: `length` bytes from `offset` in reads of 511 bytes, stopping early at the
// end of the data. 0 or 82.
[[nodiscard]] int CopyRawPart(CDataSource& message, std::int64_t offset, std::int64_t length,
                              CDataSource& dest);

// Helpers shared by the encoders.
// Writes `text` whole; false on a short write.
[[nodiscard]] bool WriteText(CDataSource& out, std::string_view text);
// Opens the record's own source for reading: 0; 99 without a record; 80 when it has no
// source or the source cannot be opened.
[[nodiscard]] int OpenRecordSource(AttachmentRecord* record);
// Writes the Content-Type line, the encoding line, each extra header line with CR LF, and
// the blank line that ends the part header. False on a short write.
[[nodiscard]] bool WritePartHeader(const AttachmentRecord& record, CDataSource& out,
                                   std::string_view content_type_line,
                                   std::string_view encoding_line);
// The attachment name as it goes into a part header: the text after its last "\" or "/",
// at most 260 characters.
[[nodiscard]] std::string HeaderName(const std::string& name);

}  // namespace tarnhold
