#include "message/gateway_message_file.h"

#include <stdlib.h>

#include <algorithm>
#include <fstream>

#include "message/base64.h"
#include "message/buffer_source.h"
#include "message/disclaimer.h"
#include "message/encoded_words.h"
#include "message/file_sources.h"
#include "message/item_envelope.h"
#include "message/mail_address.h"
#include "message/mail_message.h"
#include "message/mime_coder.h"
#include "message/mime_header.h"
#include "message/part_encoders.h"
#include "message/quoted_printable.h"
#include "message/result_codes.h"
#include "message/safe_name.h"
#include "platform/locked_file.h"
#include "platform/profile_file.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

constexpr std::size_t kInfoLength = 255;  // type: up to 254 characters
// A name is read longer than the type: the safe-name step cuts it to its bound and keeps the
// extension, which a cut here would lose ("aaa...aaa.exe").
constexpr std::size_t kNameLength = 4096;

bool EndsWithZip(const fs::path& path) {
  std::string s = path.filename().string();
  return s.size() >= 3 && EqualsNoCase(std::string_view(s).substr(s.size() - 3), "zip");
}

// The first field of `kind`, unfolded; empty when there is none.
std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string FieldOrEmpty(CMailMessage& message, int kind) {
  return message.GetUnfoldedField(kind, 0).value_or("");
}

// Parts that hold further parts a mail client shows: multiparts and attached messages.
bool IsContainer(const std::string& type) {
  std::string lower = LowerAscii(type);
  return lower.rfind("multipart/", 0) == 0 || lower == "message/rfc822" ||
         lower == "message/global";
}

// Copies `from` to `to` with every bare LF made CR LF: an attached message written with LF
// line ends is read like any other. False on a read or write failure.
bool CopyWithCrLf(const fs::path& from, const fs::path& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  if (!in || !out) return false;
  char block[4096];
  std::string converted;
  char previous = '\0';
  while (in.read(block, sizeof block) || in.gcount() > 0) {
    converted.clear();
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      if (block[i] == '\n' && previous != '\r') converted += '\r';
      converted += block[i];
      previous = block[i];
    }
    out.write(converted.data(), static_cast<std::streamsize>(converted.size()));
  }
  return !in.bad() && static_cast<bool>(out.flush());
}

// `text` decoded by the transfer encoding `encoding` (base64 or quoted-printable).
std::string DecodeText(int encoding, const std::string& text) {
  std::string out;
  if (encoding == kEncodingBase64) {
    out.resize(text.size() * 3 / 4 + 3);
    Base64Decoder decoder;
    out.resize(
        decoder.Feed(text.data(), text.size(), reinterpret_cast<unsigned char*>(out.data())));
  } else if (encoding == kEncodingQuotedPrintable) {
    QuotedPrintableDecoder decoder;
    decoder.Feed(text.data(), text.size(), out);
    decoder.Finish(out);
  }
  return out;
}

}  // namespace

CGatewayMessageFile::CGatewayMessageFile(fs::path temp_root) : temp_root_(std::move(temp_root)) {}

CGatewayMessageFile::~CGatewayMessageFile() { Release(); }

void CGatewayMessageFile::Log(const std::string& line) const {
  if (log_) log_(line);
}

void CGatewayMessageFile::Clear() {
  Release();
  item_path_.clear();
  recipient_.clear();
  sender_.clear();
  message_id_.clear();
  to_.clear();
  cc_.clear();
  from_.clear();
  subject_.clear();
  date_.clear();
  body_.clear();
  received_.clear();
  auto_submitted_.clear();
  precedence_.clear();
  return_path_.clear();
  found_.clear();
  content_types_.clear();
  subject_text_.clear();
  body_text_.clear();
  has_zip_ = zip_encrypted_ = zip_with_paths_ = attachment_vanished_ = false;
  budget_ = limits_;
}

void CGatewayMessageFile::Release() {
  if (!temp_folder_.empty()) {
    std::error_code ec;
    fs::remove_all(temp_folder_, ec);
    temp_folder_.clear();
  }
  attachments_.clear();
  inner_parts_.clear();
}

int CGatewayMessageFile::Read(const fs::path& path, ItemFormat format) {
  Clear();
  item_path_ = path;
  LockedFile item;
  std::string error;
  if (item.OpenLocked(path, Access::ReadWrite, error) != LockResult::Locked) return -1;
  if (!item.Seek(0)) return 64;
  std::int64_t text_offset = 0;
  if (format == ItemFormat::QueueItem) {
    ItemEnvelope envelope;
    if ((ReadItemEnvelope(item, envelope) & kEnvelopeUnreadable) != 0) return -2;
    recipient_ = envelope.recipient;
    sender_ = envelope.sender;
    text_offset = envelope.text_offset;
  }
  // The message and its sources share the item's descriptor (and lock): they end here,
  // before the item is closed.
  CMailMessage message;
  CHandleSource text(item.Fd(), text_offset);
  int loaded = message.Load(text);
  // A body cut at its capacity is a sound result; an unreadable source is not.
  if (loaded != kResultOk && loaded != kResultBodyTooLong) return -2;
  for (const auto& value : message.GetUnfoldedFields(kFieldCustom, "Received:")) {
    received_.push_back("Received: " + value);
  }
  FindRecipients("for: ");
  TakeHeaderValues(message);
  TakeBodyText(message);
  const bool unparsed =
      !message.Decoding() && message.GetUnfoldedField(kFieldCustom, 0, "Content-Type:");
  // A message with nothing to save (plain text, most mail) gets no folder: its making and
  // removal would be the larger part of the file system work of reading it.
  const bool save = unparsed || (parts_ == PartFiles::Save && message.AttachmentCount() > 0);
  if (!MakeTempFolder(save)) return -2;
  if (temp_folder_.empty()) return 0;
  if (!SaveParts(message, (temp_folder_ / "").string(), 0)) return -2;
  if (unparsed) SaveUnparsedParts(text);
  return 0;
}

void CGatewayMessageFile::TakeHeaderValues(CMailMessage& message) {
  from_ = LowerAscii(FieldOrEmpty(message, kFieldFrom));
  to_ = LowerAscii(FieldOrEmpty(message, kFieldTo));
  cc_ = LowerAscii(FieldOrEmpty(message, kFieldCc));
  subject_ = LowerAscii(FieldOrEmpty(message, kFieldSubject));
  message_id_ = LowerAscii(FieldOrEmpty(message, kFieldMessageId));
  date_ = FieldOrEmpty(message, kFieldDate);
  body_ = message.GetBody() ? message.GetBody() : "";
  subject_text_ = LowerAscii(DecodeEncodedWords(FieldOrEmpty(message, kFieldSubject)));
  auto_submitted_ = Trimmed(
      LowerAscii(message.GetUnfoldedField(kFieldCustom, 0, "Auto-Submitted:").value_or("")));
  precedence_ =
      Trimmed(LowerAscii(message.GetUnfoldedField(kFieldCustom, 0, "Precedence:").value_or("")));
}

void CGatewayMessageFile::TakeBodyText(CMailMessage& message) {
  if (!message.Decoding()) {
    // Not read as MIME (no "MIME-Version: 1.0", an unknown type): a client still decodes a
    // body whose Content-Transfer-Encoding names base64 or quoted-printable.
    auto field = message.GetUnfoldedField(kFieldCustom, 0, "Content-Transfer-Encoding:");
    if (field)
      body_text_ = DecodeText(EncodingFromText("Content-Transfer-Encoding:" + *field), body_);
    return;
  }
  auto* mime = dynamic_cast<CMimeCoder*>(&message.CurrentDecoder());
  if (!mime) return;
  int index = -1;
  if (mime->TopLevelClass() != kClassMultipart) {
    // A single part that is not plain text (text/html, a named part ...) is what the client
    // shows as the body all the same.
    if (body_.empty() && message.AttachmentCount() == 1) index = 0;
  } else if (!message.BodyExtracted()) {
    // No plain text part: the body is the raw text, and the client shows the first text
    // part there is (the HTML one, often in base64).
    for (int i = 0; const AttachmentRecord* r = mime->Record(i); ++i) {
      if (r->name.empty() && LowerAscii(r->content_type).rfind("text/", 0) == 0) {
        index = i;
        break;
      }
    }
  }
  if (index < 0) return;
  std::string text(CMailMessage::kBodyCapacity, '\0');
  CBufferSource buffer(text.data(), text.size() - 1, "body");
  (void)mime->DecodeAttachment(index, buffer, false);  // a cut at the capacity is sound
  text.resize(static_cast<std::size_t>(buffer.Length()));
  body_text_ = std::move(text);
}

bool CGatewayMessageFile::MakeTempFolder(bool needed) {
  std::error_code ec;
  fs::create_directories(temp_root_, ec);
  if (!needed) return true;
  std::string name = (temp_root_ / "tmpXXXXXX").string();
  if (::mkdtemp(name.data()) == nullptr) return false;
  temp_folder_ = name;
  return true;
}

bool CGatewayMessageFile::SaveParts(CMailMessage& message, const std::string& prefix, int depth) {
  for (int k = 0; k < message.AttachmentCount(); ++k) {
    std::string name, type;
    if (message.AttachmentInfo(k, &name, kNameLength, &type, kInfoLength, nullptr) != 0) continue;
    if (depth > 0) {
      if (budget_.members_left <= 0) {
        Log("parts nested in " + prefix + " not saved: more than " +
            std::to_string(kMaxArchiveMembers) + " files");
        return true;
      }
      --budget_.members_left;
    }
    content_types_.push_back(LowerAscii(type));
    fs::path folder = prefix + std::to_string(k);
    std::error_code ec;
    if (!fs::create_directory(folder, ec)) return depth > 0;
    fs::path path = folder / (name.empty() ? std::string(kHtmlBodyName) : SafeFileName(name));
    if (message.DecodeAttachment(k, path) != kResultOk) {
      fs::remove(path, ec);  // a failed save leaves no trace
      continue;
    }
    const std::size_t listed = attachments_.size();
    if (!fs::exists(path, ec)) {
      attachment_vanished_ = true;
    } else if (EndsWithZip(path)) {
      has_zip_ = true;
      Unpack(path, folder, 0);
    } else {
      attachments_.push_back(path);
    }
    if (depth > 0) {
      inner_parts_.insert(inner_parts_.end(), attachments_.begin() + listed, attachments_.end());
    }
    if (IsContainer(type)) SaveNestedParts(message, k, folder, depth);
  }
  return true;
}

void CGatewayMessageFile::SaveNestedParts(CMailMessage& message, int k, const fs::path& folder,
                                          int depth) {
  auto* mime = dynamic_cast<CMimeCoder*>(&message.CurrentDecoder());
  if (!mime) return;
  SaveMessageParts([&](CDataSource& out) { return mime->WriteNestedMessage(k, out); }, folder,
                   depth, NestedBody::Save);
}

void CGatewayMessageFile::SaveUnparsedParts(CDataSource& text) {
  // Without "MIME-Version: 1.0" the MIME coder leaves the message as text, but a mail
  // client still shows the parts its Content-Type announces.
  SaveMessageParts(
      [&text](CDataSource& out) {
        if (out.Open(kOpenWrite) != 0) return kResultOpenFailed;
        int rc = kResultShortWrite;
        if (WriteText(out, "MIME-Version: 1.0\r\n") && text.Open(kOpenRead) == 0) {
          rc = CopyRawPart(text, 0, std::max<std::int64_t>(0, text.Size()), out);
          text.Close();
        }
        return out.Close() == 0 ? rc : kResultShortWrite;
      },
      temp_folder_ / "m", 0, NestedBody::ItemBody);
}

void CGatewayMessageFile::SaveMessageParts(const std::function<int(CDataSource&)>& write,
                                           const fs::path& folder, int depth, NestedBody body) {
  const std::string label = "parts nested in " + folder.filename().string() + " not saved: ";
  if (depth + 1 >= kMaxNestedMessageDepth) {
    Log(label + "nested deeper than " + std::to_string(kMaxNestedMessageDepth) + " messages");
    return;
  }
  // The part is written out as a message of its own and read like the item itself.
  const fs::path raw = folder.string() + ".raw", work = folder.string() + ".msg";
  std::error_code ec;
  CFileSource written(raw, 4096);
  int rc = write(written);
  if (rc == kResultOk && !CopyWithCrLf(raw, work)) rc = kResultShortWrite;
  fs::remove(raw, ec);
  const auto size = fs::file_size(work, ec);
  if (rc != kResultOk || ec || size > budget_.bytes_left) {
    if (!ec && rc == kResultOk)
      Log(label + "more than " + std::to_string(kMaxUnpackedBytes) + " bytes");
    fs::remove(work, ec);
    return;
  }
  budget_.bytes_left -= size;
  {
    CMailMessage inner;
    CFileSource source(work, 4096);
    const int loaded = inner.Load(source);
    if (loaded == kResultOk || loaded == kResultBodyTooLong) {
      const std::string text = inner.GetBody() ? inner.GetBody() : "";
      if (body == NestedBody::Save) {
        // Only a text part's body: raw lines are in the saved part already.
        if (inner.BodyExtracted()) SaveNestedBody(text.c_str(), folder);
      } else if (inner.BodyExtracted() && body_text_.empty() && text != body_) {
        body_text_ = text;
      }
      (void)SaveParts(inner, folder.string() + "-", depth + 1);
    }
  }
  fs::remove(work, ec);
}

void CGatewayMessageFile::SaveNestedBody(const char* body, const fs::path& folder) {
  if (!body || !*body || budget_.members_left <= 0) return;
  --budget_.members_left;
  const fs::path text_folder = folder.string() + "-text";
  std::error_code ec;
  if (!fs::create_directory(text_folder, ec)) return;
  const fs::path path = text_folder / kHtmlBodyName;
  std::ofstream out(path, std::ios::binary);
  out << body;
  out.close();
  if (!out) {
    fs::remove(path, ec);
    return;
  }
  attachments_.push_back(path);
  inner_parts_.push_back(path);
}

void CGatewayMessageFile::Unpack(const fs::path& archive, const fs::path& folder, int depth) {
  const std::string label = "archive " + archive.filename().string() + " not extracted: ";
  if (depth >= kMaxArchiveDepth) {
    Log(label + "nested deeper than " + std::to_string(kMaxArchiveDepth) + " archives");
    attachments_.push_back(archive);
    return;
  }
  ZipArchive zip;
  if (!zip.Open(archive)) {
    attachments_.push_back(archive);  // not an archive after all: an ordinary file
    return;
  }
  for (int i = 0; i < zip.EntryCount(); ++i) {
    if (zip.IsEncrypted(i)) zip_encrypted_ = true;
    if (zip.EntryName(i).find_first_of("/\\") != std::string::npos) zip_with_paths_ = true;
  }
  std::vector<fs::path> written;
  std::string error;
  bool extracted = zip.ExtractAll(folder, budget_, written, error);
  zip.Close();
  std::error_code ec;
  if (!extracted) {
    // The archive stays in the list as it came, so the checks and scanners still see it;
    // none of its members is offered half-made.
    Log(label + error);
    for (const auto& member : written) fs::remove(member, ec);
    attachments_.push_back(archive);
    return;
  }
  fs::remove(archive, ec);
  int nested = 0;
  for (auto it = written.rbegin(); it != written.rend(); ++it) {
    if (!EndsWithZip(*it)) {
      attachments_.push_back(*it);
      continue;
    }
    // "_" keeps these names apart from the part folders (folder 1 and archive 0 of part 1).
    fs::path target = folder.string() + "_" + std::to_string(nested++);
    if (!fs::create_directory(target, ec)) {
      attachments_.push_back(*it);
      continue;
    }
    Unpack(*it, target, depth + 1);
  }
}

void CGatewayMessageFile::FindRecipients(std::string preceding) {
  found_.clear();
  return_path_.clear();
  if (preceding.empty() || preceding.back() != ' ') preceding += ' ';
  for (const std::string& line : received_) {
    std::size_t at = line.find("Return-Path: ");
    if (at != std::string::npos) {
      std::string rest = line.substr(at + 13);
      if (!rest.empty()) rest.pop_back();
      return_path_ = ExtractAddress(rest);
    }
    at = line.find(preceding);
    if (at == std::string::npos) continue;
    std::string rest = line.substr(at + preceding.size());
    for (char cut : {' ', ';', '\n', '\r'}) rest = rest.substr(0, rest.find(cut));
    found_.push_back(ExtractAddress(rest));
  }
}

bool CGatewayMessageFile::HasContentType(std::string_view text) const {
  std::string lower = LowerAscii(text);
  return std::any_of(content_types_.begin(), content_types_.end(),
                     [&](const std::string& t) { return t.find(lower) != std::string::npos; });
}

std::int64_t CGatewayMessageFile::TotalAttachmentSize() const {
  std::int64_t total = 0;
  for (const auto& path : attachments_) {
    if (path.string().find(kHtmlBodyName) != std::string::npos) continue;
    if (std::find(inner_parts_.begin(), inner_parts_.end(), path) != inner_parts_.end()) continue;
    std::error_code ec;
    auto size = fs::file_size(path, ec);
    if (!ec) total += static_cast<std::int64_t>(size);
  }
  return total;
}

int CGatewayMessageFile::AddTextDisclaimer(const fs::path& disclaimer_file) {
  return ::tarnhold::AddTextDisclaimer(item_path_, disclaimer_file);
}

int CGatewayMessageFile::AddHtmlDisclaimer(const fs::path& disclaimer_file) {
  return ::tarnhold::AddHtmlDisclaimer(item_path_, disclaimer_file);
}

int CGatewayMessageFile::RewriteRecipient(const fs::path& item, std::string_view recipient) {
  return RewriteItemRecipient(item, recipient);
}

}  // namespace tarnhold
