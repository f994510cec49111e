// Everything the per-message processor does to the world goes through ItemEffects: generated
// mail, the forwarded copy, disclaimers, the bandwidth record, archive copies, resubmission to
// the gateway's own receiver, and the final placement of the item. The processor decides and
// logs; an ItemEffects carries out. The engine's LiveEffects acts on the data root; a dry run
// puts DryRunEffects in its place, which reports success and changes nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "transport/local_mail.h"

namespace tarnhold {

// One generated message (reply, notice, alert): the body is `text`, followed by "\r\n" and the
// content of `text_file` when one is named.
struct LocalMail {
  std::string to;  // comma-separated envelope recipients
  std::string from;
  std::string subject;
  std::string text;
  std::filesystem::path text_file;
};

// A rebuilt or compressed message handed to the gateway's own receiver: the text, then the
// files as uuencoded blocks.
struct Resubmission {
  std::string recipient;
  std::string sender;
  std::string subject;
  std::string body;
  std::string cc;
  std::vector<std::filesystem::path> files;
  // Header lines after the generated ones: the Received trail that keeps the hop count.
  std::vector<std::string> headers;
};

// What adding a disclaimer to the item did.
enum class DisclaimerResult {
  Added,
  NoHtmlPart,  // HTML only: the message has no HTML body to add it to
  FileError,   // the item or the disclaimer file could not be read or written; worth a retry
};

class ItemEffects {
 public:
  virtual ~ItemEffects() = default;

  // Sends generated mail through the gateway's receiver: kLocalMail* codes.
  virtual int SendLocalMail(const LocalMail& mail) = 0;
  // A copy of the item, its envelope recipient replaced, straight into the send queue.
  // False when the copy could not be made.
  virtual bool ForwardCopy(std::string_view recipient) = 0;

  // Disclaimers edit the item in place.
  [[nodiscard]] virtual DisclaimerResult AddTextDisclaimer(const std::filesystem::path& file) = 0;
  [[nodiscard]] virtual DisclaimerResult AddHtmlDisclaimer(const std::filesystem::path& file) = 0;
  // Waits between disclaimer attempts.
  virtual void Pause(std::chrono::milliseconds pause) = 0;
  // The item file's size in bytes now (after any disclaimers).
  [[nodiscard]] virtual std::int64_t ItemSize() = 0;
  virtual void WriteBandwidthRecord(std::string_view record) = 0;
  // Copies the item into `folder` (made when missing) under its first free number.
  virtual void SaveArchiveCopy(const std::filesystem::path& folder) = 0;

  // Connects to the gateway's own receiver for a resubmission; true when greeted.
  [[nodiscard]] virtual bool ConnectLocal() = 0;
  // Sends on that connection: 0 sent, else the client's failure code.
  [[nodiscard]] virtual int SendResubmission(const Resubmission& message) = 0;
  virtual void CloseLocal() = 0;

  // Moves the item into `folder` (made when missing) under its first free number from `start`
  // on. The number, or nullopt (the item stays where it is; `error` says why).
  [[nodiscard]] virtual std::optional<std::uint32_t> MoveItem(const std::filesystem::path& folder,
                                                              std::uint32_t start,
                                                              std::string& error) = 0;
  // Deletes the item. False when it could not be deleted.
  virtual bool DeleteItem() = 0;
};

}  // namespace tarnhold
