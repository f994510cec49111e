#include "gateway/spool_layout.h"

#include <utility>

namespace tarnhold {

namespace fs = std::filesystem;

SpoolLayout::SpoolLayout(fs::path root) : root_(std::move(root)) {}

fs::path SpoolLayout::Processing() const { return root_ / "queproc"; }
fs::path SpoolLayout::Send() const { return root_ / "que"; }
fs::path SpoolLayout::OffPeak() const { return root_ / "offpeak"; }
fs::path SpoolLayout::Stat() const { return root_ / "stat"; }
fs::path SpoolLayout::QuarantineRoot() const { return root_ / "quaran"; }
fs::path SpoolLayout::Quarantine(std::string_view area) const {
  return QuarantineRoot() / fs::path(area);
}
fs::path SpoolLayout::Errors() const { return Quarantine("errors"); }
fs::path SpoolLayout::Archive() const { return root_ / "archive"; }
fs::path SpoolLayout::Temp() const { return root_ / "temp"; }
fs::path SpoolLayout::Spare() const { return root_ / "spare"; }
fs::path SpoolLayout::SweepWorkerTemp(int worker) const {
  return Temp() / std::to_string(worker);
}
fs::path SpoolLayout::Download() const { return root_ / "pop"; }
fs::path SpoolLayout::MailboxStore() const { return root_ / "popstore"; }
fs::path SpoolLayout::Mailbox(int number) const {
  return MailboxStore() / std::to_string(number);
}
fs::path SpoolLayout::Logs() const { return root_ / "logs"; }
fs::path SpoolLayout::Lists() const { return root_ / "lists"; }
fs::path SpoolLayout::Texts() const { return root_ / "text"; }

fs::path SpoolLayout::SourceInfo(std::uint32_t number) const {
  return Stat() / std::to_string(number);
}
fs::path SpoolLayout::SourceInfo(std::string_view item_name) const {
  return Stat() / fs::path(item_name);
}

fs::path SpoolLayout::ConfigFile() const { return root_ / "tarnhold.dat"; }
fs::path SpoolLayout::RegistryFile() const { return root_ / "registry.dat"; }
fs::path SpoolLayout::AliasesFile() const { return root_ / "aliases.dat"; }
fs::path SpoolLayout::SpamFreeFile() const { return root_ / "spamfree.dat"; }
fs::path SpoolLayout::InstanceLock() const { return root_ / "thgate.lock"; }
fs::path SpoolLayout::LoadLog() const { return Logs() / "load.log"; }
fs::path SpoolLayout::AdminLoadLog() const { return Logs() / "loadGUI.log"; }
fs::path SpoolLayout::Pop3Log() const { return Logs() / "POP3_.log"; }
fs::path SpoolLayout::SmtpInLog() const { return Logs() / "SMTPIn_.log"; }
fs::path SpoolLayout::SweepLog() const { return Logs() / "Sweep_.log"; }
fs::path SpoolLayout::SmtpOutLog() const { return Logs() / "SMTPOut_.log"; }
fs::path SpoolLayout::BandwidthLog() const { return Logs() / "Bandwidth_.log"; }
fs::path SpoolLayout::SweepRecordLog() const { return Logs() / "Sweep_.json"; }
fs::path SpoolLayout::ScannerScript() const { return root_ / "vscan.sh"; }
fs::path SpoolLayout::ScannerReport() const { return root_ / "report.txt"; }
fs::path SpoolLayout::ScannerReportCopy() const { return root_ / "copyrep.txt"; }
fs::path SpoolLayout::RewriteFile() const { return root_ / "rewrite.tmp"; }
fs::path SpoolLayout::CompressionZip() const { return root_ / "attachments.zip"; }
fs::path SpoolLayout::HelpDocument() const { return root_ / "setup.doc"; }
fs::path SpoolLayout::SweepWorkerZip(int worker) const {
  return SweepWorkerTemp(worker) / "attachments.zip";
}
fs::path SpoolLayout::DownloadHeader() const { return Download() / "tmpheader.dat"; }
fs::path SpoolLayout::DownloadFile(std::uint32_t number) const {
  return Download() / std::to_string(number);
}

}  // namespace tarnhold
