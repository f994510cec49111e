#include "message/mail_message.h"

#include <cstring>
#include <new>

#include "message/buffer_source.h"
#include "message/file_sources.h"
#include "message/mime_coder.h"
#include "message/result_codes.h"
#include "message/uu_coder.h"
#include "platform/profile_file.h"
#include "platform/text_case.h"

namespace tarnhold {
namespace {

constexpr const char* kFieldNames[] = {
    "All Fields ", "Message-Id:", "To:",   "Cc:",       "Bcc:",          "From:",       "Subject:",
    "Date:",       "Newsgroups:", "Xref:", "Reply-To:", "X-Newsreader:", "References:", "Custom"};
constexpr int kHeaderLineMax = 1000;
constexpr std::size_t kCustomNameColonLimit = 29;

bool NamesEqual(const char* a, const std::string& b) { return a && EqualsNoCase(a, b); }

}  // namespace

CMailMessage::CMailMessage() : body_(new char[kBodyCapacity]) {
  body_[0] = '\0';
  coders_[0] = std::make_unique<CUuCoder>();
  coders_[1] = std::make_unique<CMimeCoder>();
}

const char* CMailMessage::FieldName(int kind) {
  return kind >= kFieldAll && kind <= kFieldCustom ? kFieldNames[kind] : nullptr;
}

int CMailMessage::AddField(const char* value, int kind, const char* custom_name) {
  if (!value || kind < kFieldAll || kind > kFieldCustom) return 0;
  if (kind == kFieldCustom && !custom_name) return 0;
  fields_.push_back({kind, value, kind == kFieldCustom ? custom_name : ""});
  return 1;
}

int CMailMessage::RemoveFields(int kind, const char* custom_name) {
  std::erase_if(fields_, [&](const Field& f) {
    if (kind == kFieldAll) return true;
    if (kind == kFieldCustom)
      return f.kind == kFieldCustom && NamesEqual(custom_name, f.custom_name);
    return f.kind == kind;
  });
  if (kind == kFieldAll) stored_header_bytes_ = 0;
  return 1;
}

int CMailMessage::CountFields(int kind) const {
  int n = 0;
  for (const auto& f : fields_) n += (kind == kFieldAll || f.kind == kind) ? 1 : 0;
  return n;
}

int CMailMessage::CountCustomFields(const char* name) const {
  int n = 0;
  for (const auto& f : fields_) n += (f.kind == kFieldCustom && NamesEqual(name, f.custom_name));
  return n;
}

const char* CMailMessage::GetField(int kind, int index) const {
  for (const auto& f : fields_) {
    if ((kind == kFieldAll || f.kind == kind) && index-- == 0) return f.value.c_str();
  }
  return nullptr;
}

const char* CMailMessage::GetCustomField(const char* name, int index) const {
  for (const auto& f : fields_) {
    if (f.kind == kFieldCustom && NamesEqual(name, f.custom_name) && index-- == 0) {
      return f.value.c_str();
    }
  }
  return nullptr;
}

const char* CMailMessage::GetCustomFieldName(int index) const {
  for (const auto& f : fields_) {
    if (f.kind == kFieldCustom && index-- == 0) return f.custom_name.c_str();
  }
  return nullptr;
}

int CMailMessage::GetFieldText(int kind, std::string* out, int length) const {
  if (!out || length <= 0) return 0;
  std::string text;
  for (const auto& f : fields_) {
    if (kind == kFieldAll || f.kind == kind) text += f.value;
  }
  if (text.size() + 1 > static_cast<std::size_t>(length)) return 0;
  *out = std::move(text);
  return 1;
}

int CMailMessage::SetBody(const char* text) {
  if (!text || !body_) return 0;
  std::size_t n = std::strlen(text);
  if (n + 1 > kBodyCapacity) return 0;
  std::memcpy(body_.get(), text, n + 1);
  return 1;
}

int CMailMessage::AddAttachment(CDataSource& source, const std::string& name,
                                const CTextList* parameters) {
  decoding_ = false;
  return coders_[default_coder_]->AddAttachment(source, name, parameters);
}

int CMailMessage::AttachmentCount() const {
  return coders_[decoding_ ? current_decoder_ : default_coder_]->AttachmentCount();
}

const char* CMailMessage::GlobalHeader(int index) const {
  return coders_[default_coder_]->GlobalHeader(index);
}

int CMailMessage::Encode(CDataSource& body, CDataSource& output) {
  decoding_ = false;
  return coders_[default_coder_]->Encode(body, output, false);
}

std::int64_t CMailMessage::AttachmentSize(int index) {
  return coders_[current_decoder_]->AttachmentSize(index);
}

int CMailMessage::AttachmentInfo(int index, std::string* name, std::size_t name_length,
                                 std::string* type, std::size_t type_length,
                                 CTextList* parameters) {
  return coders_[current_decoder_]->AttachmentInfo(index, name, name_length, type, type_length,
                                                   parameters);
}

int CMailMessage::DecodeAttachment(int index, const std::filesystem::path& path) {
  CFileSource destination(path, 4096);
  return coders_[current_decoder_]->DecodeAttachment(index, destination, false);
}

void CMailMessage::StoreField(int kind, std::string value, std::string custom_name,
                              bool continuation) {
  std::size_t cost = value.size() + custom_name.size();
  if (stored_header_bytes_ + cost > kMaxStoredHeaderBytes) return;
  stored_header_bytes_ += cost;
  fields_.push_back({kind, std::move(value), std::move(custom_name), continuation});
}

bool CMailMessage::Selects(const Field& f, int kind, const char* custom_name) const {
  if (kind == kFieldAll) return true;
  if (f.kind != kind) return false;
  return kind != kFieldCustom || NamesEqual(custom_name, f.custom_name);
}

std::vector<std::string> CMailMessage::GetUnfoldedFields(int kind, const char* custom_name) const {
  std::vector<std::string> values;
  bool joining = false;  // whether continuation lines belong to a selected field
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const Field& f = fields_[i];
    if (f.continuation && i > 0) {
      if (joining) values.back() += f.value;
      continue;
    }
    joining = Selects(f, kind, custom_name);
    if (joining) values.push_back(f.value);
  }
  return values;
}

std::optional<std::string> CMailMessage::GetUnfoldedField(int kind, int index,
                                                          const char* custom_name) const {
  std::vector<std::string> values = GetUnfoldedFields(kind, custom_name);
  if (index < 0 || static_cast<std::size_t>(index) >= values.size()) return std::nullopt;
  return std::move(values[static_cast<std::size_t>(index)]);
}

// Reads one header line whole: a line longer than the read limit comes in pieces, and a
// piece must not pass for a field of its own. Beyond kMaxHeaderLineBytes the rest is dropped.
bool CMailMessage::ReadHeaderLine(CDataSource& source, std::string& line) {
  line.clear();
  std::string piece;
  while (source.ReadLine(piece, kHeaderLineMax) > 0) {
    if (line.size() < kMaxHeaderLineBytes) line.append(piece, 0, kMaxHeaderLineBytes - line.size());
    if (piece.back() == '\n') break;
  }
  return !line.empty();
}

void CMailMessage::ReadHeader(CDataSource& source) {
  std::string line;
  int last_kind = kFieldCustom;
  std::string last_name;
  while (ReadHeaderLine(source, line)) {
    for (int i = 0; i < 2 && !line.empty() && (line.back() == '\r' || line.back() == '\n'); ++i) {
      line.pop_back();
    }
    if (line.empty()) break;
    if (line[0] == ' ' || line[0] == '\t') {
      // A continuation line is a further field of the previous line's kind.
      StoreField(last_kind, line, last_kind == kFieldCustom ? last_name : "", true);
      continue;
    }
    int kind = kFieldCustom;
    for (int k = kFieldMessageId; k < kFieldCustom; ++k) {
      if (StartsWithNoCase(line, kFieldNames[k])) {
        kind = k;
        break;
      }
    }
    std::size_t colon = line.find(':');
    std::string name;
    if (kind == kFieldCustom && colon != std::string::npos && colon < kCustomNameColonLimit) {
      name = line.substr(0, colon + 1);
    }
    StoreField(kind, colon == std::string::npos ? line : line.substr(colon + 1), name, false);
    last_kind = kind;
    last_name = name;
  }
}

int CMailMessage::AppendRawBody(CDataSource& source, std::int64_t header_end) {
  if (source.Open(kOpenRead) != 0) return kResultSourceOpen;
  int rc = kResultOk;
  if (source.Seek(header_end, kSeekStart) == header_end) {
    std::size_t length = std::strlen(body_.get());
    std::string line;
    while (source.ReadLine(line, kHeaderLineMax) > 0) {
      if (length + line.size() + 3 >= kBodyCapacity) {
        rc = kResultBodyTooLong;
        break;
      }
      if (line.back() != '\r' && line.back() != '\n') line += "\r\n";
      std::memcpy(body_.get() + length, line.data(), line.size());
      length += line.size();
      body_[length] = '\0';
    }
  }
  if (source.Close() != 0) return kResultSourceClose;
  return rc;
}

int CMailMessage::Load(CDataSource& source) {
  coders_[default_coder_]->ClearAttachments();
  decoding_ = false;
  body_extracted_ = false;
  RemoveFields(kFieldAll);
  if (source.Open(kOpenRead) != 0) return kResultSourceOpen;
  ReadHeader(source);
  body_.reset(new (std::nothrow) char[kBodyCapacity]);
  if (!body_) {
    source.Close();
    return kResultNoMemory;
  }
  body_[0] = '\0';
  const std::int64_t header_end = source.Seek(0, kSeekCurrent);
  bool body_done = false;
  for (int i = 0; i < coder_count_; ++i) {
    if (coders_[i]->Parse(source) != kResultOk) continue;
    current_decoder_ = i;
    decoding_ = true;
    CBufferSource text(body_.get(), kBodyCapacity - 1, "body");
    if (coders_[i]->ExtractText(text, false) == kResultOk) {
      body_[text.Length()] = '\0';
      body_done = true;
    } else {
      body_[0] = '\0';
    }
    break;
  }
  body_extracted_ = body_done;
  if (source.Close() != 0) return kResultSourceClose;
  return body_done ? kResultOk : AppendRawBody(source, header_end);
}

}  // namespace tarnhold
