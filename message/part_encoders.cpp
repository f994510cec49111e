#include "message/part_encoders.h"

#include <algorithm>
#include <vector>

#include "message/base64.h"
#include "message/quoted_printable.h"
#include "platform/data_root.h"

namespace tarnhold {
namespace {

constexpr std::size_t kMaxHeaderName = 260;
constexpr std::size_t kMaxBinaryField = 99;

// Line-length bookkeeping of the 7BIT and 8BIT checks: the count is reset at a CR that is
// followed by LF and raised for every other byte. A CR that ends a block is settled with the
// first byte of the next one, so a block edge never changes the verdict.
struct LineCheck {
  int count = 0;
  bool pending_cr = false;
};

int Step(LineCheck& check, int limit) {
  return ++check.count > limit ? kResultLineTooLong : kResultOk;
}

int CheckBlock(LineCheck& check, const char* data, std::size_t size, int limit, bool reject_nul) {
  for (std::size_t i = 0; i < size; ++i) {
    char c = data[i];
    if (check.pending_cr) {
      check.pending_cr = false;
      if (c == '\n') {
        check.count = 0;
      } else if (Step(check, limit) != kResultOk) {
        return kResultLineTooLong;
      }
    }
    if (reject_nul && c == '\0') return kResultNulIn7Bit;
    if (c == '\r') {
      if (i + 1 == size) {
        check.pending_cr = true;
        continue;
      }
      if (data[i + 1] == '\n') {
        check.count = 0;
        continue;
      }
    }
    if (Step(check, limit) != kResultOk) return kResultLineTooLong;
  }
  return kResultOk;
}

std::string TypeLine(const AttachmentRecord& r, const char* fallback) {
  return "Content-Type: " + (r.content_type.empty() ? std::string(fallback) : r.content_type) +
         "; charset=US-ASCII\r\n";
}

// 7BIT and 8BIT: unchanged data, each block checked before it is written.
int EncodeChecked(AttachmentRecord* record, CDataSource& out, std::size_t block, int limit,
                  bool is_7bit) {
  int rc = OpenRecordSource(record);
  if (rc != kResultOk) return rc;
  std::string enc =
      is_7bit ? "Content-Transfer-Encoding: 7BIT\r\n" : "Content-Transfer-Encoding: 8BIT\r\n";
  if (!WritePartHeader(*record, out, TypeLine(*record, "text/plain"), enc)) rc = kResultShortWrite;
  std::vector<char> buf(block);
  LineCheck check;
  while (rc == kResultOk) {
    long n = record->source->Read(buf.data(), block);
    if (n <= 0) {
      if (check.pending_cr) rc = Step(check, limit);
      break;
    }
    rc = CheckBlock(check, buf.data(), static_cast<std::size_t>(n), limit, is_7bit);
    if (rc == kResultOk && out.Write(buf.data(), static_cast<std::size_t>(n)) != n) {
      rc = kResultShortWrite;
    }
  }
  record->source->Close();
  return rc;
}

}  // namespace

bool WriteText(CDataSource& out, std::string_view text) {
  return text.empty() || out.Write(text.data(), text.size()) == static_cast<long>(text.size());
}

int OpenRecordSource(AttachmentRecord* record) {
  if (record == nullptr) return kResultNoAttachment;
  if (!record->source || record->source->Open(kOpenRead) != 0) return kResultOpenFailed;
  return kResultOk;
}

bool WritePartHeader(const AttachmentRecord& record, CDataSource& out,
                     std::string_view content_type_line, std::string_view encoding_line) {
  if (!WriteText(out, content_type_line) || !WriteText(out, encoding_line)) return false;
  if (record.extra_headers) {
    for (std::size_t i = 0; i < record.extra_headers->Count(); ++i) {
      if (!WriteText(out, record.extra_headers->Get(i)) || !WriteText(out, "\r\n")) return false;
    }
  }
  return WriteText(out, "\r\n");
}

std::string HeaderName(const std::string& name) {
  return std::string(LastPathElement(name).substr(0, kMaxHeaderName));
}

int Encode7BitPart(AttachmentRecord* record, CDataSource& out) {
  return EncodeChecked(record, out, 997, 996, true);
}

int Encode8BitPart(AttachmentRecord* record, CDataSource& out) {
  return EncodeChecked(record, out, 998, 997, false);
}

int EncodeBinaryPart(AttachmentRecord* record, CDataSource& out) {
  int rc = OpenRecordSource(record);
  if (rc != kResultOk) return rc;
  std::string type = record->content_type.empty() ? "Application/Octet-stream"
                                                  : record->content_type.substr(0, kMaxBinaryField);
  std::string param = record->type_parameter.empty()
                          ? "Unknown"
                          : record->type_parameter.substr(0, kMaxBinaryField);
  std::string line = "Content-Type: " + type + "; name=\"" + HeaderName(record->name) +
                     "\"; type=" + param + "\r\n";
  if (!WritePartHeader(*record, out, line, "Content-Transfer-Encoding: BINARY\r\n")) {
    rc = kResultShortWrite;
  } else {
    rc = CopyData(*record->source, out, -1, 999);
  }
  record->source->Close();
  return rc;
}

int EncodePart(int encoding, AttachmentRecord* record, CDataSource& out) {
  switch (encoding) {
    case kEncoding7Bit:
      return Encode7BitPart(record, out);
    case kEncodingBase64:
      return EncodeBase64Part(record, out);
    case kEncodingQuotedPrintable:
      return EncodeQuotedPrintablePart(record, out);
    case kEncoding8Bit:
      return Encode8BitPart(record, out);
    case kEncodingBinary:
      return EncodeBinaryPart(record, out);
    case kEncodingBinHex40:
      return kResultNotSupported;
    default:
      return kResultOk;  // MULTIPART: nothing to write
  }
}

int CopyRawPart(CDataSource& message, std::int64_t offset, std::int64_t length, CDataSource& dest) {
  if (length <= 0) return kResultOk;
  if (message.Seek(offset, kSeekStart) != offset) return kResultOk;
  return CopyData(message, dest, length, 511);
}

int DecodePart(int encoding, CDataSource& message, std::int64_t offset, std::int64_t length,
               CDataSource& dest) {
  switch (encoding) {
    case kEncodingBase64:
      return DecodeBase64Part(message, offset, length, dest);
    case kEncodingQuotedPrintable:
      return DecodeQuotedPrintablePart(message, offset, length, dest);
    case kEncodingBinHex40:
      return kResultNotSupported;
    default:
      return CopyRawPart(message, offset, length, dest);
  }
}

}  // namespace tarnhold
