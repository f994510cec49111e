// The configuration file <root>/tarnhold.dat in memory: every [Defaults] value, the rules, the
// POP3 mailboxes, local users and their addresses, the scanners, and the DNS and cluster lists
// read from the files it names. Load also creates the data folders. The object holds no global
// state: a reload is a Load into a fresh object that then replaces the one the engine shares.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/config_records.h"
#include "gateway/rule_record.h"
#include "gateway/spool_layout.h"

namespace tarnhold {

inline constexpr int kDefaultVirusScanTimeout = 120;  // seconds

// What a load met on its way; nothing here stops it.
struct ConfigLoadReport {
  bool file_read = false;             // false: tarnhold.dat missing or unreadable, defaults used
  std::vector<std::string> problems;  // one line each: a folder or list file that failed
};

// Whether a load creates the data folders and quarantine areas (the engine) or only reads
// (the configuration check, which must report a missing area rather than make it).
enum class MakeFolders { Yes, No };

class CGatewayConfig {
 public:
  explicit CGatewayConfig(std::filesystem::path root);

  // Creates the data folders (SpoolLayout::kFolders), then reads <root>/tarnhold.dat afresh: every value and list is
  // replaced, never added to. A missing or broken file gives the defaults; never fails.
  // MakeFolders::No reads the same and creates nothing.
  ConfigLoadReport Load(MakeFolders make = MakeFolders::Yes);

  // The administrator's save: writes the whole file in its fixed order (every value, even 0 or
  // empty) under a temporary name and renames it into place, then creates popstore/<n> for
  // each local user. False when the file could not be written; `error` says why.
  [[nodiscard]] bool Save(std::string& error) const;
  // The text Save writes, laid out into `profile` (for writers that add to it before saving).
  void WriteTo(ProfileFile& profile) const;

  [[nodiscard]] const std::filesystem::path& Root() const { return root_; }
  // The spool layout on this configuration's data root.
  [[nodiscard]] SpoolLayout Layout() const { return SpoolLayout(root_); }
  [[nodiscard]] std::filesystem::path ConfigPath() const { return Layout().ConfigFile(); }
  // A value that names a file, mapped onto the data root when it begins with c:\tarnhold\.
  [[nodiscard]] std::filesystem::path MapPath(std::string_view value) const;
  // The folder of a quarantine area: always inside <root>/quaran, whatever the area holds.
  [[nodiscard]] std::filesystem::path QuarantinePath(std::string_view area) const;

  // [Defaults]. Flags are on only when exactly 1.
  std::string AdultKeywords;
  std::string InboundGatewayAddress;
  int InboundGatewayType = 0;
  std::string OutboundGatewayAddress;
  int OutboundGatewayType = 0;  // 1: deliver by MX through `dns_servers`
  std::string DNSLookupFileName;
  std::string SMTPRoutingFileName;
  int EnableClustering = 0;
  std::string ClusterFileName;
  int LogPOP3 = 0;
  int LogSMTPIn = 0;
  int LogSMTPInTraffic = 0;
  int LogSweeper = 0;
  int LogSMTPOut = 0;
  int LogBandwidth = 0;
  std::string AdminEmail;
  std::string SpamReplyEmail;
  int EnablePOP3Server = 0;
  int DefaultPOP3LocalUserID = 0;
  int EnablePOP3Download = 0;
  int POP3DownloadInterval = 0;  // minutes
  std::uint16_t SMTPInPort = 25;
  std::uint16_t InboundPort = 25;
  std::uint16_t OutboundPort = 25;
  std::uint16_t POP3Port = 100;  // kept and written; the POP3 server does not use it
  int SMTPMaxIn = 250;
  int SMTPMaxOut = 25;
  int SMTPMaxRetries = 5;
  int SMTPRetryInterval = 300;  // seconds
  std::string DialEntry;
  std::string DialUserName;
  std::string DialPassword;
  std::string DialModem;
  int EnableRas = 0;
  int DialASAP = 0;
  int DialMON = 0;
  int DialTUE = 0;
  int DialWED = 0;
  int DialTHU = 0;
  int DialFRI = 0;
  int DialSAT = 0;
  int DialSUN = 0;
  int OffPeakFromHH = 0;
  int OffPeakFromMM = 0;
  int OffPeakToHH = 0;
  int OffPeakToMM = 0;
  // The gateway's own addition, written only when changed: how long one virus scanner may
  // run before its scan counts as failed (seconds; 0 or less means the default).
  int VirusScanTimeout = kDefaultVirusScanTimeout;
  // Kilobytes: a remote message larger than this is left on its server by the collection.
  int POP3DownloadMaxSize = 51200;
  // The receiver's guards. AllowRelay=1 lets every client send to domains that are not local;
  // otherwise only loopback and the networks (CIDR lines) of RelayNetworksFileName may.
  int AllowRelay = 0;
  std::string RelayNetworksFileName = "c:\\tarnhold\\lists\\relaynets.dat";
  int SMTPMaxMessageSize = 51200;  // kilobytes; 0 or less: no limit
  // A message with more Received lines than this is looping: it goes to the errors quarantine.
  int MaxReceivedHeaders = 30;
  // The metrics file (Prometheus text format), rewritten every MetricsInterval seconds; empty:
  // no metrics file.
  std::string MetricsFileName = "c:\\tarnhold\\logs\\tarnhold.prom";
  int MetricsInterval = 10;  // seconds; 0 or less means the default
  // TLS: the receiver's and POP3 server's PEM certificate (chain) and key; either empty means
  // no STARTTLS and no STLS. The delivery uses STARTTLS where offered (SMTPOutTLS), verifying
  // the peer against the system's CA store only with SMTPOutTLSVerify. POP3RequireTLS refuses
  // USER and PASS before STLS from any address but loopback.
  std::string TLSCertificateFile;
  std::string TLSKeyFile;
  int SMTPOutTLS = 1;
  int SMTPOutTLSVerify = 0;
  int POP3RequireTLS = 0;

  // The lists, each in file order.
  std::vector<CRuleRecord> rules;               // index = rule number
  std::vector<CPopAccountRecord> pop_accounts;  // [POP<n>]
  std::vector<CPopAccountRecord> local_users;   // [POP3User<n>]; index = mailbox number
  std::vector<MailboxPair> mailbox_pairs;       // EmailAddress<k> of every local user
  std::vector<CScannerRecord> scanners;
  std::vector<std::string> local_domains;  // lower case
  std::vector<std::string> dial_times;     // lower case, "HH:MM" as typed
  std::vector<std::string> cluster_hosts;  // from ClusterFileName when EnableClustering is 1
  std::vector<std::string> dns_servers;    // from DNSLookupFileName when OutboundGatewayType is 1

  bool operator==(const CGatewayConfig&) const = default;

 private:
  std::filesystem::path root_;
};

}  // namespace tarnhold
