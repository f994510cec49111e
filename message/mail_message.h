// A mail message: header fields, a body text of at most 32 KiB, and the coders that compose
// and parse its attachments (slot 0 uuencode, slot 1 MIME, the default). Load reads a
// message from a data source; composing is: set body, add attachments, take the global
// headers, Encode. Global headers read after Encode describe the next message.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "message/data_source.h"
#include "message/message_coder.h"
#include "message/text_list.h"

namespace tarnhold {

// Header field kinds, in the order of the field-name table.
enum HeaderFieldType : int {
  kFieldAll = 0,
  kFieldMessageId = 1,
  kFieldTo = 2,
  kFieldCc = 3,
  kFieldBcc = 4,
  kFieldFrom = 5,
  kFieldSubject = 6,
  kFieldDate = 7,
  kFieldNewsgroups = 8,
  kFieldXref = 9,
  kFieldReplyTo = 10,
  kFieldXNewsreader = 11,
  kFieldReferences = 12,
  kFieldCustom = 13,
};

// Stored header values beyond this many bytes are not kept: a header block of megabytes
// (or a file with no blank line at all) cannot fill the memory.
inline constexpr std::size_t kMaxStoredHeaderBytes = 1024 * 1024;
// Longest header line kept whole; the rest of a longer one is dropped.
inline constexpr std::size_t kMaxHeaderLineBytes = 64 * 1024;

class CMailMessage {
 public:
  static constexpr std::size_t kBodyCapacity = 0x8000;

  CMailMessage();

  // Reads `source`: header lines (each whole, up to kMaxHeaderLineBytes) into fields, then
  // the body as the first coder that parses the message extracts it, else the raw lines
  // after the header. 0; 73 the source cannot be opened; 74 it cannot be closed; 101 no memory for
  // the body; 35 the raw body reached the body capacity (the lines that fitted are kept).
  int Load(CDataSource& source);

  // The field name of a kind ("All Fields ", "Message-Id:", ... "Custom"); nullptr outside
  // 0-13.
  [[nodiscard]] static const char* FieldName(int kind);
  // Appends a field: 1; 0 when `value` is null, or kind 13 comes without a custom name.
  int AddField(const char* value, int kind, const char* custom_name = nullptr);
  // Kind 0 removes all, kind 13 the custom fields named `custom_name` (any case), any other
  // kind the fields of that kind. Returns 1.
  int RemoveFields(int kind, const char* custom_name = nullptr);
  [[nodiscard]] int CountFields(int kind) const;
  [[nodiscard]] int CountCustomFields(const char* name) const;
  // The value of the index-th field (from 0) of `kind` (kind 0: of any kind), or nullptr.
  [[nodiscard]] const char* GetField(int kind, int index) const;
  [[nodiscard]] const char* GetCustomField(const char* name, int index) const;
  [[nodiscard]] const char* GetCustomFieldName(int index) const;
  // The index-th field of `kind` (kind 13: of the custom name `custom_name`) with the
  // continuation lines that followed it joined on, as RFC 5322 unfolds a header (each
  // continuation keeps its leading white space). nullopt when there is no such field.
  [[nodiscard]] std::optional<std::string> GetUnfoldedField(
      int kind, int index, const char* custom_name = nullptr) const;
  // Every such field, unfolded, in header order.
  [[nodiscard]] std::vector<std::string> GetUnfoldedFields(int kind,
                                                           const char* custom_name = nullptr) const;
  // 1 with the values of all fields of `kind` joined in `out`; 0 when `out` is null,
  // `length` <= 0, or the joined text and its terminator would not fit in `length` bytes.
  int GetFieldText(int kind, std::string* out, int length) const;

  // 1 and the text copied when it fits the body capacity with its terminator; 0 otherwise.
  int SetBody(const char* text);
  [[nodiscard]] const char* GetBody() const { return body_.get(); }

  int AddAttachment(CDataSource& source, const std::string& name,
                    const CTextList* parameters = nullptr);
  [[nodiscard]] int AttachmentCount() const;
  [[nodiscard]] const char* GlobalHeader(int index) const;
  int Encode(CDataSource& body, CDataSource& output);
  [[nodiscard]] std::int64_t AttachmentSize(int index);
  int AttachmentInfo(int index, std::string* name, std::size_t name_length, std::string* type,
                     std::size_t type_length, CTextList* parameters);
  // Decodes into the file at `path` (created or truncated).
  int DecodeAttachment(int index, const std::filesystem::path& path);

  // The coder that parsed the last Load (when one did), else the default coder.
  [[nodiscard]] CMessageCoder& CurrentDecoder() { return *coders_[current_decoder_]; }
  [[nodiscard]] bool Decoding() const { return decoding_; }
  // Whether the last Load's body came from a coder's text part (not the raw lines).
  [[nodiscard]] bool BodyExtracted() const { return body_extracted_; }

 private:
  struct Field {
    int kind;
    std::string value;
    std::string custom_name;    // kind 13 only, with its colon
    bool continuation = false;  // a line that began with a space or tab
  };
  [[nodiscard]] bool Selects(const Field& f, int kind, const char* custom_name) const;
  void ReadHeader(CDataSource& source);
  [[nodiscard]] static bool ReadHeaderLine(CDataSource& source, std::string& line);
  void StoreField(int kind, std::string value, std::string custom_name, bool continuation);
  int AppendRawBody(CDataSource& source, std::int64_t header_end);

  std::vector<Field> fields_;
  std::size_t stored_header_bytes_ = 0;
  std::unique_ptr<char[]> body_;
  std::array<std::unique_ptr<CMessageCoder>, 5> coders_;
  int coder_count_ = 2;
  int default_coder_ = 1;
  int current_decoder_ = 1;
  bool decoding_ = false;
  bool body_extracted_ = false;
};

}  // namespace tarnhold
