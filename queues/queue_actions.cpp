#include "queues/queue_actions.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "message/mail_address.h"
#include "platform/locked_file.h"
#include "platform/spool_folder.h"
#include "queues/spam_free_append.h"

namespace fs = std::filesystem;

namespace tarnhold::queues {
namespace {

// A move that finds every number it tries taken gives up after this many.
constexpr int kMoveTries = 100;

enum class Held { Locked, Busy, Missing, Failed };

// Takes the lock of the item at `path` and makes sure the locked file is still the one named
// there: the gateway may have moved it away between the open and the lock.
Held LockItem(const fs::path& path, LockedFile& item) {
  std::string error;
  switch (item.OpenLocked(path, Access::ReadOnly, error)) {
    case LockResult::Busy:
      return Held::Busy;
    case LockResult::Failed: {
      struct stat st {};
      return ::lstat(path.c_str(), &st) != 0 && errno == ENOENT ? Held::Missing : Held::Failed;
    }
    case LockResult::Locked:
      break;
  }
  struct stat held {};
  struct stat named {};
  if (::fstat(item.Fd(), &held) != 0) return Held::Failed;
  if (::stat(path.c_str(), &named) != 0) return Held::Missing;
  if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) return Held::Busy;
  return Held::Locked;
}

}  // namespace

std::string NoLongerInFolderText(const std::string& name) {
  return "The message " + name + " is no longer in this folder";
}

std::string AccessDeniedText(const std::string& name) {
  return "Access denied: " + name +
         " the messages is being currently sent by Tarnhold SMTP Delivery";
}

bool ActionReport::AnyRefused() const {
  if (!message.empty()) return true;
  for (const ItemOutcome& item : items) {
    if (item.done == ItemDone::Refused || item.done == ItemDone::NotReached) return true;
    if (!item.message.empty()) return true;
  }
  return false;
}

ActionReport QueueActions::Allow(const fs::path& folder, const std::vector<ChosenItem>& items,
                                 bool trust) const {
  return Act(folder, items, layout_.Send(), trust);
}

ActionReport QueueActions::Delete(const fs::path& folder,
                                  const std::vector<ChosenItem>& items) const {
  return Act(folder, items, std::nullopt, false);
}

ActionReport QueueActions::Move(const fs::path& folder, const std::vector<ChosenItem>& items,
                                const fs::path& destination) const {
  return Act(folder, items, destination, false);
}

std::string QueueActions::TrustedAddress(const ChosenItem& item) {
  if (!item.sender.empty()) return item.sender;
  return ExtractAddress(item.from);
}

ActionReport QueueActions::Act(const fs::path& folder, const std::vector<ChosenItem>& items,
                               const std::optional<fs::path>& destination, bool trust) const {
  ActionReport report;
  if (items.empty()) {
    report.message = kNoItemsSelected;
    return report;
  }
  for (const ChosenItem& chosen : items) report.items.push_back({chosen.number});
  for (std::size_t i = 0; i < items.size(); ++i) {
    ItemOutcome& outcome = report.items[i];
    const fs::path path = folder / items[i].number;
    LockedFile item;
    Held held = LockItem(path, item);
    if (held == Held::Missing) {
      outcome.done = ItemDone::Refused;
      outcome.message = NoLongerInFolderText(items[i].number);
      break;
    }
    if (!destination) {
      if (held != Held::Locked || ::unlink(path.c_str()) != 0) {
        outcome.done = ItemDone::Refused;
        outcome.message = AccessDeniedText(items[i].number);
        break;
      }
      outcome.done = ItemDone::Deleted;
      continue;
    }
    if (held != Held::Locked) {
      // Held by the gateway: a failed move, which only skips the item.
      outcome.done = ItemDone::Refused;
      outcome.message = held == Held::Busy ? AccessDeniedText(items[i].number) : kCouldNotMove;
      continue;
    }
    std::string error;
    auto number = MoveToFreeNumber(path, *destination, error, kMoveTries);
    if (!number) {
      outcome.done = ItemDone::Refused;
      outcome.message = kCouldNotMove;
      continue;
    }
    (void)SyncFolder(*destination);
    outcome.done = ItemDone::Moved;
    outcome.new_number = *number;
    if (folder == layout_.Processing()) {
      // The source information belongs to the number the item had in the processing queue.
      std::error_code ec;
      fs::remove(layout_.SourceInfo(items[i].number), ec);
    }
    item.Close();  // the item is complete in its new place: the gateway may take it now
    if (trust) Trust(items[i], outcome);
  }
  return report;
}

void QueueActions::Trust(const ChosenItem& item, ItemOutcome& outcome) const {
  std::string address = TrustedAddress(item);
  switch (AddTrustedSender(layout_.SpamFreeFile(), address)) {
    case TrustResult::Added:
      outcome.trusted = address;
      break;
    case TrustResult::AlreadyCovered:
      outcome.already_trusted = true;
      break;
    case TrustResult::Refused:
      break;
    case TrustResult::Failed:
      outcome.message = "could not open " + layout_.SpamFreeFile().string();
      break;
  }
}

}  // namespace tarnhold::queues
