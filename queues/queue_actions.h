// What the queue manager does to the messages chosen in a folder: release them to the send
// queue (and trust their senders), delete them, or move them to another folder. Safe while
// the gateway runs: every item is locked before it is touched, and a move puts it under the
// destination's first free number without ever replacing a file, so the gateway, which holds
// an item for as long as it works on it, never loses one to the queue manager or the reverse.
// The texts are the ones the window shows and the command line prints.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "gateway/spool_layout.h"

namespace tarnhold::queues {

// One chosen message: its file name in the folder, and for trusting its sender the row's
// From value and the envelope sender.
struct ChosenItem {
  std::string number;
  std::string from;
  std::string sender;
};

enum class ItemDone {
  Moved,  // now in the destination under `new_number`
  Deleted,
  Refused,     // left where it was; `message` says why
  NotReached,  // an earlier item stopped the action
};

struct ItemOutcome {
  std::string number;
  ItemDone done = ItemDone::NotReached;
  std::uint32_t new_number = 0;
  std::string message;  // the refusal's text, or a failed trust step's
  std::string trusted;  // the address added to spamfree.dat ("" when none)
  bool already_trusted = false;
};

struct ActionReport {
  std::vector<ItemOutcome> items;  // one per chosen item, in the order given
  std::string message;             // a text for the whole action ("no items selected")
  [[nodiscard]] bool AnyRefused() const;
};

class QueueActions {
 public:
  explicit QueueActions(const SpoolLayout& layout) : layout_(layout) {}

  // "Allow": moves the items of `folder` to the send queue; `trust` also adds each sender.
  [[nodiscard]] ActionReport Allow(const std::filesystem::path& folder,
                                   const std::vector<ChosenItem>& items, bool trust) const;
  // "Delete".
  [[nodiscard]] ActionReport Delete(const std::filesystem::path& folder,
                                    const std::vector<ChosenItem>& items) const;
  // "Move to any folder".
  [[nodiscard]] ActionReport Move(const std::filesystem::path& folder,
                                  const std::vector<ChosenItem>& items,
                                  const std::filesystem::path& destination) const;

  // The address that trusting `item`'s sender adds: the envelope sender, which the SPAM test
  // compares with the list; the address of the From value when the envelope has none.
  [[nodiscard]] static std::string TrustedAddress(const ChosenItem& item);

 private:
  [[nodiscard]] ActionReport Act(const std::filesystem::path& folder,
                                 const std::vector<ChosenItem>& items,
                                 const std::optional<std::filesystem::path>& destination,
                                 bool trust) const;
  void Trust(const ChosenItem& item, ItemOutcome& outcome) const;

  const SpoolLayout& layout_;
};

// The texts of the action's refusals.
[[nodiscard]] std::string NoLongerInFolderText(const std::string& name);
[[nodiscard]] std::string AccessDeniedText(const std::string& name);
inline constexpr const char* kNoItemsSelected = "no items selected";
inline constexpr const char* kCouldNotMove = "could not move the file";

}  // namespace tarnhold::queues
