// One attachment of the MIME coder: either added for composing (it owns a data source) or
// found by the parser (it names a stretch of the parsed message).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "message/data_source.h"
#include "message/result_codes.h"
#include "message/text_list.h"

namespace tarnhold {

struct AttachmentRecord {
  std::unique_ptr<CDataSource> source;  // added attachments only
  std::string name;
  std::string content_type;
  std::string charset;
  std::string type_parameter;
  int encoding = kEncodingBase64;
  std::int64_t size = 0;  // byte length of an added attachment's source; 0 for parsed parts
  // Where a parsed part lies in the parsed message: its data, and where its header lines
  // begin (-1 when the part has no header lines of its own, as in a single-part message).
  std::int64_t data_offset = 0;
  std::int64_t data_length = 0;
  std::int64_t header_offset = -1;
  std::unique_ptr<CTextList> extra_headers;  // AddPartHeader lines; null until the first
};

}  // namespace tarnhold
