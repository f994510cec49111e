// The uuencode coder: a message whose text carries "begin <mode> <name>" ... "end" blocks.
// Parsing finds every block by offset in the parsed source; the text before the first block
// is the message's readable text.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "message/message_coder.h"

namespace tarnhold {

// Most blocks one parse accepts; a message with more is not taken as uuencoded.
inline constexpr int kMaxUuBlocks = 1000;

class CUuCoder : public CMessageCoder {
 public:
  [[nodiscard]] const char* GetName() const override { return "UUEncode"; }
  [[nodiscard]] int AttachmentCount() const override;
  void ClearAttachments() override;
  // Appends a record at the end of the list (name cut to 260 characters); parameters are
  // not used. 0, or 80 when the source cannot be opened.
  int AddAttachment(CDataSource& source, const std::string& name,
                    const CTextList* parameters) override;
  int AddPartHeader(std::string_view) override { return 0; }
  [[nodiscard]] int GlobalHeaderCount() const override { return 0; }
  [[nodiscard]] const char* GlobalHeader(int) const override { return nullptr; }
  // The body, then (when there are attachments) a blank line and one block per attachment:
  // added ones encoded, parsed ones copied unchanged. 0; 80 open failures; 81 a failed
  // close; 82 a short write.
  int Encode(CDataSource& body, CDataSource& output, bool append) override;
  // 0 parsed; 80 the source cannot be opened; 1 not uuencoded, no header end, a block
  // without "end", or more than kMaxUuBlocks blocks.
  int Parse(CDataSource& source) override;
  // Copies the text between the header and the first block. 1 without one; 80; 82.
  int ExtractText(CDataSource& destination, bool append) override;
  [[nodiscard]] std::int64_t AttachmentSize(int index) override;
  // The name; an empty type; `parameters` untouched. 1 when `name` is null or the index
  // matches none.
  int AttachmentInfo(int index, std::string* name, std::size_t name_length, std::string* type,
                     std::size_t type_length, CTextList* parameters) override;
  // 80 no parsed source or a source cannot be opened; 38 index out of range; 7 no "begin "
  // line; 33 the data ended inside the block; 82 a short write.
  int DecodeAttachment(int index, CDataSource& destination, bool append) override;
  // The first line that begins with "begin " decides: its mode must be 600-699.
  [[nodiscard]] bool Recognise() override;

 private:
  struct Block {
    std::unique_ptr<CDataSource> source;  // added attachments only
    std::string name;
    std::int64_t size = 0;
    std::int64_t offset = 0;  // of the "begin" in the parsed message
    std::int64_t length = 0;
  };
  [[nodiscard]] Block* BlockAt(int index);
  int CopyParsedBlock(const Block& block, CDataSource& output);

  std::unique_ptr<CDataSource> parsed_;
  std::int64_t text_start_ = -1;
  std::int64_t text_end_ = -1;
  std::list<Block> blocks_;
};

// The mode and name of a "begin <octal mode> <name>" line (the name runs to the line end).
// False when the line does not begin with "begin " and a number.
bool ParseBeginLine(std::string_view line, int& mode, std::string& name, int mode_base = 8);

}  // namespace tarnhold
