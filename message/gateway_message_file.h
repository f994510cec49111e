// One queue item as the rules see it: envelope, selected header values (unfolded, lower-cased
// where the rules compare them), body text, Received trail, and every attachment saved as a
// file in a private temporary folder, with ZIP archives unpacked in their place and the parts
// of nested multiparts and attached messages saved beside their part. Read takes the item's
// lock while it reads and gives it back before returning. One thread per instance.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "message/zip_archive.h"

namespace tarnhold {

class CDataSource;
class CMailMessage;

// The name a part without a file name is saved under (normally the HTML body).
inline constexpr const char* kHtmlBodyName = "th_HTML_body.htm";

// What Read expects at the start of the file.
enum class ItemFormat { QueueItem, PlainMessage };
// Whether Read saves the parts as files. Skip leaves the attachment list, the content types
// and the ZIP flags empty (for readers that look at none of them); a message whose parts only
// the saved copy shows (no MIME-Version) is saved all the same, as its body text comes from it.
enum class PartFiles { Save, Skip };

class CGatewayMessageFile {
 public:
  // `temp_root` is <root>/temp; each Read of a message with parts to save makes its own
  // folder in it (the root is made when missing). TempFolder() is empty when nothing was saved.
  explicit CGatewayMessageFile(std::filesystem::path temp_root);
  ~CGatewayMessageFile();
  CGatewayMessageFile(const CGatewayMessageFile&) = delete;
  CGatewayMessageFile& operator=(const CGatewayMessageFile&) = delete;

  // Where log lines go (a bound that stopped an archive's extraction, for instance).
  void SetLog(std::function<void(const std::string&)> log) { log_ = std::move(log); }
  // The bounds each Read starts with (zip_archive.h gives the defaults; tests lower them).
  void SetUnpackLimits(const UnpackBudget& limits) { limits_ = limits; }
  // Save by default.
  void SetPartFiles(PartFiles parts) { parts_ = parts; }

  // Reads `path` after clearing (and releasing) the previous item. 0 success; -1 the item
  // cannot be opened with its lock (its writer still holds it, or it is gone); 64 it cannot
  // be positioned at its start; -2 a failure while reading or parsing. A plain message has
  // no envelope (recipient and sender stay empty).
  int Read(const std::filesystem::path& path, ItemFormat format = ItemFormat::QueueItem);
  // Empties and removes the temporary folder and clears the attachment list.
  void Release();

  // Fills the found recipients and the return path from the Received list: the address
  // after `preceding` (a blank is added when it does not end in one) in each line, and the
  // address after "Return-Path: ".
  void FindRecipients(std::string preceding);
  // Whether some part's content type contains `text` (lower-cased).
  [[nodiscard]] bool HasContentType(std::string_view text) const;
  // Sum of the sizes of the attachment files that exist, the HTML body files and the nested
  // parts left out.
  [[nodiscard]] std::int64_t TotalAttachmentSize() const;
  // Disclaimers on the item read last (disclaimer.h): 1, 0 (HTML only: no HTML part), -1.
  int AddTextDisclaimer(const std::filesystem::path& disclaimer_file);
  int AddHtmlDisclaimer(const std::filesystem::path& disclaimer_file);
  // Rewrites the envelope recipient of `item` (item_envelope.h for the results).
  static int RewriteRecipient(const std::filesystem::path& item, std::string_view recipient);

  [[nodiscard]] const std::filesystem::path& ItemPath() const { return item_path_; }
  [[nodiscard]] const std::filesystem::path& TempFolder() const { return temp_folder_; }
  [[nodiscard]] const std::string& Recipient() const { return recipient_; }
  [[nodiscard]] const std::string& Sender() const { return sender_; }
  [[nodiscard]] const std::string& MessageId() const { return message_id_; }
  [[nodiscard]] const std::string& To() const { return to_; }
  [[nodiscard]] const std::string& Cc() const { return cc_; }
  [[nodiscard]] const std::string& From() const { return from_; }
  [[nodiscard]] const std::string& Subject() const { return subject_; }
  [[nodiscard]] const std::string& Date() const { return date_; }
  [[nodiscard]] const std::string& Body() const { return body_; }
  // The subject as a mail client shows it (encoded words decoded into UTF-8), lower-cased.
  [[nodiscard]] const std::string& SubjectText() const { return subject_text_; }
  // The body text as a mail client shows it, when that differs from Body(): a single part
  // decoded by its transfer encoding whatever its type, the first text part of a multipart
  // without a plain text one, or a body whose top-level Content-Transfer-Encoding the MIME
  // parser did not apply. Empty otherwise.
  [[nodiscard]] const std::string& BodyText() const { return body_text_; }
  [[nodiscard]] const std::vector<std::string>& ReceivedList() const { return received_; }
  // The first "Auto-Submitted:" and "Precedence:" values, lower-cased and without the blanks
  // around them; empty when the header is missing.
  [[nodiscard]] const std::string& AutoSubmitted() const { return auto_submitted_; }
  [[nodiscard]] const std::string& Precedence() const { return precedence_; }
  [[nodiscard]] const std::string& ReturnPath() const { return return_path_; }
  [[nodiscard]] const std::vector<std::string>& FoundRecipients() const { return found_; }
  [[nodiscard]] const std::vector<std::filesystem::path>& Attachments() const {
    return attachments_;
  }
  [[nodiscard]] const std::vector<std::string>& ContentTypes() const { return content_types_; }
  // The attachments saved from inside other parts (multiparts and attached messages, and
  // the ZIP members among them), also listed in Attachments(). The checks and scanners see
  // them; a rebuilt message does not take them out of their part.
  [[nodiscard]] const std::vector<std::filesystem::path>& InnerParts() const {
    return inner_parts_;
  }
  [[nodiscard]] bool HasZip() const { return has_zip_; }
  [[nodiscard]] bool ZipEncrypted() const { return zip_encrypted_; }
  [[nodiscard]] bool ZipWithPaths() const { return zip_with_paths_; }
  [[nodiscard]] bool AttachmentVanished() const { return attachment_vanished_; }

 private:
  void Clear();
  void Log(const std::string& line) const;
  // Makes the temporary root when missing and, when `needed`, this item's folder in it.
  [[nodiscard]] bool MakeTempFolder(bool needed);
  void TakeHeaderValues(CMailMessage& message);
  // Saves the parts of `message` into the folders `prefix` + k; `depth` counts the
  // messages around it (0 at the top).
  [[nodiscard]] bool SaveParts(CMailMessage& message, const std::string& prefix, int depth);
  // Saves the parts nested in part `k` (a multipart or an attached message) beside its
  // folder `folder`, as "<folder>-<n>".
  void SaveNestedParts(CMailMessage& message, int k, const std::filesystem::path& folder,
                       int depth);
  // Saves the parts of a message that the MIME coder did not read (no MIME-Version) as
  // inner parts, in the folders "m-<n>".
  void SaveUnparsedParts(CDataSource& text);
  // The body text of a nested message is saved as a part of its own; the item's own body,
  // read again as MIME, is what the body checks read when the raw text is not.
  enum class NestedBody { Save, ItemBody };
  // Saves the parts of the message that `write` writes (opening and closing its output) into
  // folders "<folder>-<n>"; `depth` counts the messages around it.
  void SaveMessageParts(const std::function<int(CDataSource&)>& write,
                        const std::filesystem::path& folder, int depth, NestedBody body);
  void TakeBodyText(CMailMessage& message);
  // Saves the body text of a nested message as one more inner part, for the content scans.
  void SaveNestedBody(const char* body, const std::filesystem::path& folder);
  // Unpacks `archive` (saved in `folder`) in place; archives inside it go to numbered
  // folders beside `folder`. An archive that cannot be opened or extracted stays as a file.
  void Unpack(const std::filesystem::path& archive, const std::filesystem::path& folder, int depth);

  std::filesystem::path temp_root_;
  std::function<void(const std::string&)> log_;
  std::filesystem::path item_path_;
  std::filesystem::path temp_folder_;
  std::string recipient_, sender_;
  std::string message_id_, to_, cc_, from_, subject_, date_;
  std::string body_;
  std::string subject_text_;
  std::string body_text_;
  std::vector<std::string> received_;
  std::string auto_submitted_, precedence_;
  std::string return_path_;
  std::vector<std::string> found_;
  std::vector<std::filesystem::path> attachments_;
  std::vector<std::string> content_types_;
  std::vector<std::filesystem::path> inner_parts_;
  bool has_zip_ = false;
  bool zip_encrypted_ = false;
  bool zip_with_paths_ = false;
  bool attachment_vanished_ = false;
  UnpackBudget limits_;
  PartFiles parts_ = PartFiles::Save;
  UnpackBudget budget_;
};

}  // namespace tarnhold
