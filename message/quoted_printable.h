// Quoted-printable as this gateway writes and reads it. The encoder escapes every control
// character, CR and LF included, so the text's line breaks travel as =0D=0A inside soft-broken
// lines of at most 76 characters. The decoder streams: a part is decoded in fixed blocks, with
// an escape or a soft break that spans two blocks carried over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "message/attachment_record.h"
#include "message/data_source.h"

namespace tarnhold {

// Builds the encoded lines of a byte stream; `Flush` hands over text ready to be written.
class QuotedPrintableEncoder {
 public:
  // Encodes `size` bytes, appending finished text (lines with their soft break "=\r\n") to
  // `out`. Before each byte, a line that holds more than 72 characters is ended.
  void Feed(const unsigned char* data, std::size_t size, std::string& out);
  // Appends the unfinished last line, without a line break.
  void Finish(std::string& out);

 private:
  std::string line_;
};

class QuotedPrintableDecoder {
 public:
  // Decodes `size` characters into `out`. "=" followed by tab, space or CR is
  // a soft break: it and everything up to and including the next LF are dropped. "=" and the
  // next two characters give one byte, each character read as a hexadecimal digit ("0"-"9"
  // give 0-9, any other character c gives c - 55, so "A"-"F" give 10-15). Everything else is
  // copied. `out` needs room for `size` bytes; returns the number made.
  std::size_t Feed(const char* data, std::size_t size, char* out);
  void Feed(const char* data, std::size_t size, std::string& out);
  // Ends the data: an "=" with fewer than two characters after it is kept as it stands.
  // `out` needs room for 2 bytes; returns the number made.
  std::size_t Finish(char* out);
  void Finish(std::string& out);

 private:
  enum class State { Text, AfterEquals, Escape, SkipToLineFeed };
  State state_ = State::Text;
  char first_ = 0;
};

// Encodes the record's source in reads of 99 bytes. Results as EncodePart.
[[nodiscard]] int EncodeQuotedPrintablePart(AttachmentRecord* record, CDataSource& out);

// Decodes the `length` characters at `offset` of `message` into `dest`. 0, or 82.
[[nodiscard]] int DecodeQuotedPrintablePart(CDataSource& message, std::int64_t offset,
                                            std::int64_t length, CDataSource& dest);

}  // namespace tarnhold
