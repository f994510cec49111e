// Base64 with the standard alphabet and "=" padding: the line encoder (57 bytes of input
// make one 76-character line) and a streaming decoder that keeps a partial group between
// calls, so a part is decoded in fixed blocks however its lines are cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "message/attachment_record.h"
#include "message/data_source.h"

namespace tarnhold {

inline constexpr std::size_t kBase64LineInput = 57;

// Appends the base64 text of `size` bytes (a last group of one or two bytes is padded with
// "==" or "=") to `out`.
void AppendBase64(const unsigned char* data, std::size_t size, std::string& out);

class Base64Decoder {
 public:
  // Decodes `size` characters into `out` (room for size * 3 / 4 + 3 bytes) and returns the
  // number of bytes made. CR, LF, space and every other character outside the alphabet are
  // skipped, as RFC 2045 asks, so a recipient's client and the gateway see the same bytes;
  // "=" counts in its group: a group gives 3 bytes, 2 when its fourth character is "=",
  // 1 when its third is. An unfinished group at the end of the data gives nothing.
  std::size_t Feed(const char* data, std::size_t size, unsigned char* out);

 private:
  std::uint32_t bits_ = 0;  // the characters of the unfinished group, six bits each
  int held_ = 0;
  int padding_ = 0;
};

// Encodes the record's source: its header lines, then one line per 57-byte read, each
// followed by CR LF. Results as EncodePart.
[[nodiscard]] int EncodeBase64Part(AttachmentRecord* record, CDataSource& out);

// Decodes the `length` characters at `offset` of `message` into `dest`, reading at most 511
// bytes at a time and writing what each read gave. 0, or 82 on a short write.
[[nodiscard]] int DecodeBase64Part(CDataSource& message, std::int64_t offset, std::int64_t length,
                                   CDataSource& dest);

}  // namespace tarnhold
