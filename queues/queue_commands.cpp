#include "queues/queue_commands.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "platform/data_root.h"
#include "queues/message_preview.h"
#include "queues/queue_actions.h"
#include "queues/queue_folders.h"
#include "queues/queue_listing.h"

namespace fs = std::filesystem;

namespace tarnhold::queues {
namespace {

struct CommandWord {
  const char* word;
  QueueCommand command;
};
constexpr CommandWord kCommands[] = {
    {"--list", QueueCommand::List},     {"--show", QueueCommand::Show},
    {"--allow", QueueCommand::Allow},   {"--allow-trust", QueueCommand::AllowTrust},
    {"--delete", QueueCommand::Delete}, {"--move", QueueCommand::Move},
    {"--help", QueueCommand::Help},
};

bool TakesItems(QueueCommand c) {
  return c == QueueCommand::Show || c == QueueCommand::Allow || c == QueueCommand::AllowTrust ||
         c == QueueCommand::Delete || c == QueueCommand::Move;
}

// A value on one line of a tab-separated row.
std::string Cell(std::string_view value) {
  std::string out(value);
  for (char& c : out) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

nlohmann::json RowJson(const QueueRow& row) {
  return {{"date", row.date},     {"no", row.number},          {"to", row.to},
          {"from", row.from},     {"subject", row.subject},    {"message_id", row.message_id},
          {"sender", row.sender}, {"recipient", row.recipient}};
}

void PrintRow(const QueueRow& row, bool json, std::ostream& out) {
  if (json) {
    out << RowJson(row).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
  } else {
    out << Cell(row.date) << '\t' << row.number << '\t' << Cell(row.to) << '\t' << Cell(row.from)
        << '\t' << Cell(row.subject) << '\t' << Cell(row.message_id) << '\n';
  }
  out.flush();  // a reader sees the first rows at once, however large the folder
}

int List(const SpoolLayout& layout, const QueueOptions& o, std::ostream& out, std::ostream& err) {
  auto folder = ResolveFolder(layout, o.folder);
  if (!folder) {
    err << "thqueue: no such folder: " << o.folder << '\n';
    return kQueueRefused;
  }
  std::error_code ec;
  if (!fs::is_directory(*folder, ec)) {
    err << "thqueue: no such folder: " << folder->string() << '\n';
    return kQueueRefused;
  }
  if (!o.sorted) {
    ListFolder(*folder, {}, [&](QueueRow&& row) { PrintRow(row, o.json, out); });
    return kQueueDone;
  }
  std::vector<QueueRow> rows;
  ListFolder(*folder, {}, [&](QueueRow&& row) { rows.push_back(std::move(row)); });
  std::stable_sort(rows.begin(), rows.end(), [](const QueueRow& a, const QueueRow& b) {
    if (a.date != b.date) return a.date < b.date;
    return a.number.size() != b.number.size() ? a.number.size() < b.number.size()
                                              : a.number < b.number;
  });
  for (const QueueRow& row : rows) PrintRow(row, o.json, out);
  return kQueueDone;
}

int Show(const SpoolLayout& layout, const QueueOptions& o, std::ostream& out, std::ostream& err) {
  int result = kQueueDone;
  for (const std::string& name : o.items) {
    auto item = ParseItemName(layout, name);
    MessagePreview p;
    PreviewResult read =
        item ? ReadPreview(item->folder / item->name, p) : PreviewResult::Unreadable;
    if (!item || read != PreviewResult::Read) {
      err << name << ": "
          << (!item                         ? "not an item name"
              : read == PreviewResult::Busy ? "busy or no longer in this folder"
                                            : "cannot be read")
          << '\n';
      result = kQueueRefused;
      continue;
    }
    std::string display = ItemDisplayName(layout, item->folder, item->name);
    if (o.json) {
      nlohmann::json j = {{"item", display},
                          {"recipient", p.recipient},
                          {"sender", p.sender},
                          {"date", p.date},
                          {"to", p.to},
                          {"from", p.from},
                          {"cc", p.cc},
                          {"subject", p.subject},
                          {"message_id", p.message_id},
                          {"attachments", p.attachments},
                          {"body", p.body}};
      out << j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
      continue;
    }
    out << "item: " << display << "\nenvelope recipient: " << p.recipient
        << "\nenvelope sender: " << p.sender << "\ndate: " << p.date << "\nto: " << p.to
        << "\nfrom: " << p.from << "\ncc: " << p.cc << "\nsubject: " << p.subject
        << "\nmessage id: " << p.message_id << '\n';
    for (const std::string& a : p.attachments) out << "attachment: " << a << '\n';
    out << '\n' << p.body;
    if (!p.body.empty() && p.body.back() != '\n') out << '\n';
  }
  return result;
}

std::string ItemLine(const SpoolLayout& layout, const std::string& name, const ItemOutcome& o,
                     const fs::path& destination) {
  std::string line = name + ": ";
  switch (o.done) {
    case ItemDone::Moved:
      line += (destination == layout.Send() ? "released to " : "moved to ") +
              ItemDisplayName(layout, destination, std::to_string(o.new_number));
      break;
    case ItemDone::Deleted:
      line += "deleted";
      break;
    case ItemDone::Refused:
      return line + "refused: " + o.message;
    case ItemDone::NotReached:
      return line + "refused: not reached";
  }
  if (!o.trusted.empty()) line += "; " + o.trusted + " added to the SPAM free senders";
  if (o.already_trusted) line += "; sender already SPAM free";
  if (!o.message.empty()) line += "; " + o.message;
  return line;
}

int Act(const SpoolLayout& layout, const QueueOptions& o, std::ostream& out) {
  QueueActions actions(layout);
  fs::path destination = layout.Send();
  if (o.command == QueueCommand::Move) {
    auto to = ResolveFolder(layout, o.folder);
    std::error_code ec;
    if (!to || !fs::is_directory(*to, ec)) {
      for (const std::string& name : o.items) {
        out << name << ": refused: no such folder: " << o.folder << '\n';
      }
      return kQueueRefused;
    }
    destination = *to;
  }
  int result = kQueueDone;
  for (const std::string& name : o.items) {
    auto item = ParseItemName(layout, name);
    if (!item) {
      out << name << ": refused: not an item name" << std::endl;
      result = kQueueRefused;
      continue;
    }
    ChosenItem chosen{item->name, {}, {}};
    if (o.command == QueueCommand::AllowTrust) {
      QueueRow row;
      if (ReadRow(item->folder / item->name, row) == RowResult::Row) {
        chosen.from = row.from;
        chosen.sender = row.sender;
      }
    }
    ActionReport report;
    switch (o.command) {
      case QueueCommand::Delete:
        report = actions.Delete(item->folder, {chosen});
        break;
      case QueueCommand::Move:
        report = actions.Move(item->folder, {chosen}, destination);
        break;
      default:
        report = actions.Allow(item->folder, {chosen}, o.command == QueueCommand::AllowTrust);
    }
    out << ItemLine(layout, name, report.items.front(), destination) << std::endl;
    if (report.AnyRefused()) result = kQueueRefused;
  }
  return result;
}

}  // namespace

bool ParseQueueCommandLine(const std::vector<std::string>& args, QueueOptions& o,
                           std::string& error) {
  o = {};
  bool have_command = false;
  bool have_to = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= args.size() || args[i + 1].rfind("--", 0) == 0) {
        error = a + " needs a value";
        return false;
      }
      into = args[++i];
      return true;
    };
    if (a == "--root") {
      if (!value(o.root)) return false;
      continue;
    }
    if (a == "--json") {
      o.json = true;
      continue;
    }
    if (a == "--sort") {
      o.sorted = true;
      continue;
    }
    if (a == "--to") {
      if (!value(o.folder)) return false;
      have_to = true;
      continue;
    }
    auto known = std::find_if(std::begin(kCommands), std::end(kCommands),
                              [&](const CommandWord& c) { return a == c.word; });
    if (known != std::end(kCommands)) {
      if (have_command) {
        error = "only one command at a time: " + a;
        return false;
      }
      have_command = true;
      o.command = known->command;
      if (o.command == QueueCommand::List && !value(o.folder)) return false;
      continue;
    }
    if (a.rfind("--", 0) == 0 || !have_command || !TakesItems(o.command)) {
      error = "unknown argument: " + a;
      return false;
    }
    o.items.push_back(a);
  }
  if (TakesItems(o.command) && o.items.empty()) {
    error = "no items named";
    return false;
  }
  if ((o.command == QueueCommand::Move) != have_to) {
    error = have_to ? "--to goes only with --move" : "--move needs --to FOLDER";
    return false;
  }
  return true;
}

void WriteQueueUsage(std::ostream& out) {
  out << "usage: thqueue [--root DIR]                      the window\n"
         "       thqueue [--root DIR] --list FOLDER [--sort] [--json]\n"
         "       thqueue [--root DIR] --show ITEM... [--json]\n"
         "       thqueue [--root DIR] --allow ITEM...\n"
         "       thqueue [--root DIR] --allow-trust ITEM...\n"
         "       thqueue [--root DIR] --delete ITEM...\n"
         "       thqueue [--root DIR] --move ITEM... --to FOLDER\n"
         "FOLDER: Pending, Send, Off-peak, Archive, Quarantine\\AREA, or a folder relative to\n"
         "the data root (queproc, que, offpeak, quaran/AREA, archive/...).\n"
         "ITEM: FOLDER/NUMBER with the folder relative to the root (quaran/virus/3), or the\n"
         "window's form \"Quarantine\\virus 3\".\n";
}

int RunQueueCommand(const QueueOptions& o, std::ostream& out, std::ostream& err) {
  const SpoolLayout layout(ResolveDataRoot(o.root));
  switch (o.command) {
    case QueueCommand::List:
      return List(layout, o, out, err);
    case QueueCommand::Show:
      return Show(layout, o, out, err);
    case QueueCommand::Help:
      WriteQueueUsage(out);
      return kQueueDone;
    case QueueCommand::Window:
      return kQueueUsage;
    default:
      return Act(layout, o, out);
  }
}

}  // namespace tarnhold::queues
