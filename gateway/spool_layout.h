// The spool layout: every folder and fixed work file under a data root, named from one root.
// No other file spells a folder or work-file name; everything asks a SpoolLayout for its path.
// The layout only names paths: it creates, reads and locks nothing.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tarnhold {

class SpoolLayout {
 public:
  explicit SpoolLayout(std::filesystem::path root);

  [[nodiscard]] const std::filesystem::path& Root() const { return root_; }

  // ---- Folders ---------------------------------------------------------------------------
  [[nodiscard]] std::filesystem::path Processing() const;  // queproc: waiting for the rules
  [[nodiscard]] std::filesystem::path Send() const;        // que: waiting for delivery
  [[nodiscard]] std::filesystem::path OffPeak() const;     // offpeak: held for off-peak
  [[nodiscard]] std::filesystem::path Stat() const;        // stat: source information files
  [[nodiscard]] std::filesystem::path QuarantineRoot() const;  // quaran
  // quaran/<area>; `area` must already be a single safe folder name.
  [[nodiscard]] std::filesystem::path Quarantine(std::string_view area) const;
  [[nodiscard]] std::filesystem::path Errors() const;      // quaran/errors
  [[nodiscard]] std::filesystem::path Archive() const;     // archive
  [[nodiscard]] std::filesystem::path Temp() const;        // temp: the sweeper's work folders
  // temp/<worker>: the work folder of one of several sweeper workers, holding its items'
  // folders and its own compression archive.
  [[nodiscard]] std::filesystem::path SweepWorkerTemp(int worker) const;
  [[nodiscard]] std::filesystem::path Download() const;    // pop: POP3 collection work files
  [[nodiscard]] std::filesystem::path MailboxStore() const;  // popstore
  [[nodiscard]] std::filesystem::path Mailbox(int number) const;  // popstore/<number>
  [[nodiscard]] std::filesystem::path Logs() const;        // logs
  [[nodiscard]] std::filesystem::path Lists() const;       // lists
  [[nodiscard]] std::filesystem::path Texts() const;       // text: reply and disclaimer texts
  // spare: emptied spool files the engine keeps for reuse (see platform/spare_files.h)
  [[nodiscard]] std::filesystem::path Spare() const;

  // The source information file of processing item `number`: stat/<number>.
  [[nodiscard]] std::filesystem::path SourceInfo(std::uint32_t number) const;
  [[nodiscard]] std::filesystem::path SourceInfo(std::string_view item_name) const;

  // ---- Fixed work files ------------------------------------------------------------------
  [[nodiscard]] std::filesystem::path ConfigFile() const;         // tarnhold.dat
  [[nodiscard]] std::filesystem::path RegistryFile() const;       // registry.dat
  [[nodiscard]] std::filesystem::path AliasesFile() const;        // aliases.dat
  [[nodiscard]] std::filesystem::path SpamFreeFile() const;       // spamfree.dat
  [[nodiscard]] std::filesystem::path InstanceLock() const;       // thgate.lock
  [[nodiscard]] std::filesystem::path LoadLog() const;            // logs/load.log
  [[nodiscard]] std::filesystem::path AdminLoadLog() const;       // logs/loadGUI.log
  // The activity logs' files (a dated name is made from these).
  [[nodiscard]] std::filesystem::path Pop3Log() const;            // logs/POP3_.log
  [[nodiscard]] std::filesystem::path SmtpInLog() const;          // logs/SMTPIn_.log
  [[nodiscard]] std::filesystem::path SweepLog() const;           // logs/Sweep_.log
  [[nodiscard]] std::filesystem::path SmtpOutLog() const;         // logs/SMTPOut_.log
  [[nodiscard]] std::filesystem::path BandwidthLog() const;       // logs/Bandwidth_.log
  // One JSON line per swept item, dated like the sweeper log.
  [[nodiscard]] std::filesystem::path SweepRecordLog() const;     // logs/Sweep_.json
  [[nodiscard]] std::filesystem::path ScannerScript() const;      // vscan.sh
  [[nodiscard]] std::filesystem::path ScannerReport() const;      // report.txt
  [[nodiscard]] std::filesystem::path ScannerReportCopy() const;  // copyrep.txt
  [[nodiscard]] std::filesystem::path RewriteFile() const;        // rewrite.tmp
  [[nodiscard]] std::filesystem::path CompressionZip() const;     // attachments.zip
  [[nodiscard]] std::filesystem::path HelpDocument() const;       // setup.doc: thadmin's help
  // temp/<worker>/attachments.zip: the archive of one of several sweeper workers.
  [[nodiscard]] std::filesystem::path SweepWorkerZip(int worker) const;
  [[nodiscard]] std::filesystem::path DownloadHeader() const;     // pop/tmpheader.dat
  // A message collected from a remote box, by its number there: pop/<number>.
  [[nodiscard]] std::filesystem::path DownloadFile(std::uint32_t number) const;

  // The folders every configuration load creates, relative to the root, in creation order.
  static constexpr std::array<std::string_view, 15> kFolders = {
      "archive",      "logs",           "offpeak",      "pop",  "popstore", "que",
      "queproc",      "temp",           "lists",        "stat", "quaran",   "quaran/junk",
      "quaran/virus", "quaran/content", "quaran/errors"};

 private:
  std::filesystem::path root_;
};

}  // namespace tarnhold
