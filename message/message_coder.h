// The coder interface of the message model: one coder composes and parses one message
// format (MIME or uuencode). A coder holds the attachments it was given or found, and
// decodes found ones on request. Results are the library's codes (result_codes.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "message/data_source.h"
#include "message/text_list.h"

namespace tarnhold {

class CMessageCoder {
 public:
  virtual ~CMessageCoder() = default;

  // "Mime" or "UUEncode".
  [[nodiscard]] virtual const char* GetName() const = 0;
  // Attachments added or parsed.
  [[nodiscard]] virtual int AttachmentCount() const = 0;
  virtual void ClearAttachments() = 0;
  // Takes a clone of `source` with `name`; `parameters` (optional): encoding number as
  // text, content type, charset, type parameter. 0, or 80 when the source cannot be opened.
  virtual int AddAttachment(CDataSource& source, const std::string& name,
                            const CTextList* parameters) = 0;
  // Adds a header line to the most recently added attachment: 0, or -1 without one.
  virtual int AddPartHeader(std::string_view text) = 0;
  // Message-level header lines the coder needs, each with its CR LF.
  [[nodiscard]] virtual int GlobalHeaderCount() const = 0;
  [[nodiscard]] virtual const char* GlobalHeader(int index) const = 0;
  // Writes the body and the attachments to `output` (appending when `append` is set).
  virtual int Encode(CDataSource& body, CDataSource& output, bool append) = 0;
  // 0 when `source` (open) is in this coder's format and its parts were found.
  virtual int Parse(CDataSource& source) = 0;
  // Writes the message's readable text to `destination`.
  virtual int ExtractText(CDataSource& destination, bool append) = 0;
  // Decoded size of one attachment; an index that matches none gives the sum over all.
  [[nodiscard]] virtual std::int64_t AttachmentSize(int index) = 0;
  // Copies name and content type (each cut to its length - 1 characters) and puts the
  // encoding number into the cleared `parameters`; 1 when the index matches none.
  virtual int AttachmentInfo(int index, std::string* name, std::size_t name_length,
                             std::string* type, std::size_t type_length, CTextList* parameters) = 0;
  // Decodes one attachment into `destination`; 38 for an index out of range.
  virtual int DecodeAttachment(int index, CDataSource& destination, bool append) = 0;
  // Whether the source taken by Parse is in this coder's format.
  [[nodiscard]] virtual bool Recognise() = 0;
};

// Copies at most `length` - 1 characters of `text` into `out` (a C buffer of `length`).
inline void CopyCut(const std::string& text, std::string* out, std::size_t length) {
  if (out) *out = length == 0 ? std::string() : text.substr(0, length - 1);
}

}  // namespace tarnhold
