// Prints how fast the sweeper takes items through ten enabled rules (one of them quarantines
// messages with exe attachments, the others look at lists, keywords in subject, body and
// attachments, sizes, types and names without firing): items swept per second and CPU
// milliseconds per item, for 5,000 items of about 4 KB and for 200 items with a 1 MB
// attachment. Items are processed as the engine does, by the queue sweeper's passes.
// Three more runs have one virus rule (one item in five carries the EICAR test file): with no
// scanner configured, with clamscan over a signature database made from that file, and with
// clamdscan against a clamd of its own loaded with it. Each prints items per second and the
// share of the wall time spent in the virus check, that is waiting for the scanner.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "gateway/activity_log.h"
#include "gateway/gateway_config.h"
#include "gateway/queue_item.h"
#include "platform/child_process.h"
#include "platform/locked_file.h"
#include "platform/spool_folder.h"
#include "platform/temp_files.h"
#include "sweeper/item_processor.h"
#include "sweeper/queue_sweeper.h"
#include "sweeper/virus_check.h"

using namespace tarnhold;
namespace fs = std::filesystem;

namespace {

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::string Base64(const std::string& data) {
  static const char* kTable = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t line = 0;
  for (std::size_t i = 0; i < data.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(data[i]) << 16;
    if (i + 1 < data.size()) v |= static_cast<unsigned char>(data[i + 1]) << 8;
    if (i + 2 < data.size()) v |= static_cast<unsigned char>(data[i + 2]);
    out += kTable[(v >> 18) & 63];
    out += kTable[(v >> 12) & 63];
    out += i + 1 < data.size() ? kTable[(v >> 6) & 63] : '=';
    out += i + 2 < data.size() ? kTable[v & 63] : '=';
    if (++line == 19) {
      out += "\r\n";
      line = 0;
    }
  }
  return out + "\r\n";
}

// A message with a text body of `body_bytes` and, when `attachment` is not empty, one file.
std::string Message(int n, std::size_t body_bytes, const std::string& name,
                    const std::string& attachment) {
  std::string text = "From: sender" + std::to_string(n) +
                     "@outside.test\r\n"
                     "To: bob@example.com\r\nSubject: weekly figures " +
                     std::to_string(n) +
                     "\r\nDate: Mon, 07 Dec 2026 09:00:00 +0000\r\nMessage-ID: <" +
                     std::to_string(n) +
                     "@outside.test>\r\nMIME-Version: 1.0\r\n"
                     "Content-Type: multipart/mixed; boundary=\"b0\"\r\n\r\n--b0\r\n"
                     "Content-Type: text/plain\r\n\r\n";
  while (text.size() < body_bytes) text += "The figures of this week are in order and on time.\r\n";
  if (!attachment.empty()) {
    text += "--b0\r\nContent-Type: application/octet-stream; name=\"" + name +
            "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; "
            "filename=\"" +
            name + "\"\r\n\r\n" + Base64(attachment);
  }
  return text + "--b0--\r\n.\r\n";
}

void Queue(const fs::path& root, std::uint32_t n, const std::string& text) {
  LockedFile file;
  std::string error;
  if (file.CreateLocked(root / "queproc" / std::to_string(n), error) != CreateResult::Created)
    return;
  (void)WriteQueueItemHeader(file, "bob@example.com", "sender@outside.test", 0, 0, 0);
  (void)file.WriteAll(text.data(), text.size());
  std::string ip = "192.0.2." + std::to_string(n % 250);
  LockedFile stat;
  if (stat.CreateLocked(root / "stat" / std::to_string(n), error) == CreateResult::Created)
    (void)stat.WriteAll(ip.data(), ip.size());
}

std::shared_ptr<CGatewayConfig> TenRules(const fs::path& root) {
  auto c = std::make_shared<CGatewayConfig>(root);
  (void)c->Load();
  c->local_domains = {"example.com", "example.org"};
  c->AdminEmail = "admin@example.com";
  c->AdultKeywords = "casino,lottery winner,xxx";
  std::string ips;
  for (int i = 0; i < 50; ++i) ips += "10.9." + std::to_string(i) + ".*\n";
  auto write = [&](const char* name, const std::string& text) {
    FILE* f = std::fopen((root / "lists" / name).c_str(), "w");
    std::fputs(text.c_str(), f);
    std::fclose(f);
    return (root / "lists" / name).string();
  };
  std::string blocked_ips = write("blocked-ips", ips);
  std::string senders = write("senders", "*@partner.test\nboss@example.com\n");
  auto rule = [&] {
    CRuleRecord r;
    r.Enabled = 1;
    r.AllIncoming = 1;
    r.AllOutgoing = 1;
    return r;
  };
  CRuleRecord r0 = rule();
  r0.StopSPAM = 1;
  CRuleRecord r1 = rule();
  r1.BlockKeywords = "unsubscribe,free money";
  r1.ScanSubject = 1;
  r1.ScanBody = 1;
  CRuleRecord r2 = rule();
  r2.BlockAdult = 1;
  r2.ScanSubject = 1;
  r2.ScanBody = 1;
  r2.ScanAttachments = 1;
  CRuleRecord r3 = rule();
  r3.EnableMaxSizeAnyTotal = 1;
  r3.MaxSizeAnyTotal = 20480;
  CRuleRecord r4 = rule();
  r4.BlockMIMEContentType = 1;
  r4.MIMEContentTypeKeyword = "video";
  CRuleRecord r5 = rule();
  r5.BlockPasswordZIPs = 1;
  r5.EnableCheckAnyFileNameLength = 1;
  CRuleRecord r6 = rule();
  r6.BlockIPInList = 1;
  r6.IPInList = blocked_ips;
  CRuleRecord r7 = rule();
  r7.AllFromTo = 1;
  r7.From = senders;
  r7.To = senders;
  r7.BlockEverything = 1;
  CRuleRecord r8 = rule();
  r8.SizeLimitExtList = "mpg,avi";
  r8.EnableMaxSizeExtList = 1;
  r8.MaxSizeExtList = 10;
  CRuleRecord r9 = rule();
  r9.BlockFileTypes = "exe,com,scr";
  r9.Action = kActionQuarantine;
  r9.QuarantineArea = "content";
  c->rules = {r0, r1, r2, r3, r4, r5, r6, r7, r8, r9};
  return c;
}

void Run(const char* label, int count, std::size_t body_bytes, std::size_t attachment_bytes) {
  TempDir dir;
  if (!dir.Create(fs::temp_directory_path(), "thbench.")) return;
  const fs::path root = dir.Path();
  auto config = TenRules(root);
  std::string data(attachment_bytes, '\0');
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>((i * 2654435761u) >> 13);
  std::size_t item_bytes = 0;
  for (int n = 1; n <= count; ++n) {
    // Every fifth small message carries a program; the large ones carry a document.
    bool large = attachment_bytes > 0;
    bool exe = !large && n % 5 == 0;
    std::string text = Message(n, body_bytes,
                               large ? "data.bin"
                               : exe ? "setup.exe"
                                     : "",
                               large ? data
                               : exe ? std::string(300, 'M')
                                     : "");
    item_bytes += text.size();
    Queue(root, static_cast<std::uint32_t>(n), text);
  }
  QueueItemProcessor processor;
  CQueueSweeper sweeper(
      root, [config] { return std::shared_ptr<const CGatewayConfig>(config); },
      [&](const fs::path& item, const CGatewayConfig& c) { processor.ProcessQueueItem(item, c); });
  double cpu = CpuSeconds();
  auto start = std::chrono::steady_clock::now();
  while (!ListItemNumbers(root / "queproc").empty()) sweeper.RunPass();
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  cpu = CpuSeconds() - cpu;
  std::printf(
      "%s: %d items of %.0f KB on average, 10 rules: %.0f items/s, %.2f ms CPU per item "
      "(%zu quarantined, %zu queued)\n",
      label, count, static_cast<double>(item_bytes) / count / 1024, count / wall,
      cpu * 1000 / count, ListItemNumbers(root / "quaran/content").size(),
      ListItemNumbers(root / "que").size());
}

constexpr const char* kEicar =
    "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

// The signature database of the EICAR file, <folder>/db/test.hdb; empty when sigtool is
// missing.
fs::path EicarDatabase(const fs::path& folder) {
  const fs::path sample = folder / "eicar.com";
  FILE* f = std::fopen(sample.c_str(), "w");
  if (f == nullptr) return {};
  std::fputs(kEicar, f);
  std::fclose(f);
  fs::create_directories(folder / "db");
  const fs::path db = folder / "db" / "test.hdb";
  std::string command = "sigtool --md5 '" + sample.string() + "' > '" + db.string() + "'";
  bool made = std::system(command.c_str()) == 0;
  fs::remove(sample);
  return made ? db : fs::path();
}

bool Installed(const char* program) {
  return std::system(("command -v " + std::string(program) + " > /dev/null").c_str()) == 0;
}

enum class Scanner { None, Clamscan, Clamdscan };

// A clamd of the benchmark's own on a private socket, with the database's folder loaded.
// Its configuration file, or empty when it does not come up.
fs::path StartClamd(const fs::path& folder, ChildProcess& clamd) {
  const fs::path conf = folder / "clamd.conf";
  const fs::path socket = folder / "clamd.sock";
  FILE* f = std::fopen(conf.c_str(), "w");
  if (f == nullptr) return {};
  std::fprintf(f, "LocalSocket %s\nDatabaseDirectory %s\nForeground yes\n", socket.c_str(),
               (folder / "db").c_str());
  std::fclose(f);
  std::string error;
  if (!clamd.Start({"clamd", "--config-file=" + conf.string()}, ChildOutput::Discard, error))
    return {};
  for (int i = 0; i < 600 && !fs::exists(socket); ++i) {
    if (clamd.Poll().has_value()) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return fs::exists(socket) ? conf : fs::path();
}

void RunVirus(const char* label, int count, Scanner kind) {
  TempDir dir;
  if (!dir.Create(fs::temp_directory_path(), "thbench.")) return;
  const fs::path root = dir.Path();
  TempDir sig_dir;
  if (!sig_dir.Create(fs::temp_directory_path(), "thsig.")) return;
  const fs::path db = EicarDatabase(sig_dir.Path());
  const char* program = kind == Scanner::Clamdscan ? "clamdscan" : "clamscan";
  if (kind != Scanner::None && (db.empty() || !Installed(program) ||
                                (kind == Scanner::Clamdscan && !Installed("clamd")))) {
    std::printf("%s: skipped (%s, clamd or sigtool missing)\n", label, program);
    return;
  }
  ChildProcess clamd;
  fs::path clamd_conf;
  if (kind == Scanner::Clamdscan) {
    clamd_conf = StartClamd(sig_dir.Path(), clamd);
    if (clamd_conf.empty()) {
      std::printf("%s: skipped (clamd does not start)\n", label);
      return;
    }
  }
  auto config = std::make_shared<CGatewayConfig>(root);
  (void)config->Load();
  config->local_domains = {"example.com"};
  config->AdminEmail = "admin@example.com";
  config->SMTPInPort = 1;  // nobody listens: alerts fail at once and are only logged
  CRuleRecord r;
  r.Enabled = 1;
  r.AllIncoming = 1;
  r.AllOutgoing = 1;
  r.VirusScan = 1;
  r.Action = kActionQuarantine;
  r.QuarantineArea = "virus";
  config->rules = {r};
  CScannerRecord s;
  s.Enabled = 1;
  s.Title = "ClamAV";
  s.ExePath = program;
  const std::string log = " --log='" + (root / "report.txt").string() + "' ";
  const std::string temp = "'" + (root / "temp").string() + "'";
  s.Params = kind == Scanner::Clamdscan
                 ? "--config-file='" + clamd_conf.string() + "' --fdpass" + log + temp
                 : "-d '" + db.string() + "'" + log + "-r " + temp;
  s.SafeStartFindText = "Infected files: 0";
  s.SafeStartDontFindText = kind == Scanner::Clamdscan ? "Total errors" : "Scanned files: 0";
  if (kind != Scanner::None) config->scanners = {s};
  for (int n = 1; n <= count; ++n) {
    bool infected = n % 5 == 0;
    Queue(root, static_cast<std::uint32_t>(n),
          Message(n, 2000, infected ? "eicar.com" : "notes.txt",
                  infected ? std::string(kEicar) : std::string(3000, 'n')));
  }
  double scanning = 0;
  QueueItemProcessor processor;
  processor.SetVirusCheck([&scanning](int i, const CRuleRecord& rule, RuleContext& ctx) {
    auto start = std::chrono::steady_clock::now();
    bool threat = CheckForViruses(i, rule, ctx);
    scanning += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return threat;
  });
  CQueueSweeper sweeper(
      root, [config] { return std::shared_ptr<const CGatewayConfig>(config); },
      [&](const fs::path& item, const CGatewayConfig& c) { processor.ProcessQueueItem(item, c); });
  auto start = std::chrono::steady_clock::now();
  while (!ListItemNumbers(root / "queproc").empty()) sweeper.RunPass();
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%s: %d items, 1 virus rule: %.1f items/s, %.0f%% of the time in the virus check "
              "(%zu quarantined, %zu queued)\n",
              label, count, count / wall, 100 * scanning / wall,
              ListItemNumbers(root / "quaran/virus").size(), ListItemNumbers(root / "que").size());
}

}  // namespace

int main(int argc, char** argv) {
  const bool virus_only = argc > 1 && std::string(argv[1]) == "--virus";
  CUH_Control sweep_log(kSweepLogName);  // lines are made and dropped, as with no window
  InstallActivityLogs({nullptr, nullptr, &sweep_log, nullptr, nullptr});
  if (!virus_only) {
    Run("small", 5000, 3600, 0);
    Run("1 MB attachment", 200, 600, 1 << 20);
  }
  RunVirus("virus rule, no scanner", 200, Scanner::None);
  RunVirus("clamscan, EICAR database", 40, Scanner::Clamscan);
  RunVirus("clamdscan, clamd with the EICAR database", 200, Scanner::Clamdscan);
  InstallActivityLogs({});
  return 0;
}
