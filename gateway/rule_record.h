// One administrator rule: the 56 keys of a [Rule<n>] section of tarnhold.dat, read and written
// through one key table so that the reader and the writer cannot drift apart. Matching and
// acting on a rule belong to the sweeper; this file only holds and stores it.
// A rule list ends at the first section whose `Enabled` is missing or -1.
#pragma once

#include <span>
#include <string>

#include "gateway/config_io.h"

namespace tarnhold {

// Final actions (`CRuleRecord::Action`).
enum RuleAction : int {
  kActionContinue = 0,
  kActionQuarantine = 1,
  kActionDelete = 2,
  kActionOffPeak = 3,
  kActionRemoveListedTypes = 4,
  kActionKeepListedTypes = 5,
  kActionRemoveAllAttachments = 6,
  kActionRemoveHtml = 7,
  kActionCompress = 8,
  kActionDecompress = 9,
};

// Field names are the keys of the section. Numbers are flags (on only when exactly 1) unless
// noted; sizes are kilobytes; file names are stored as written (map them with MapConfigPath).
struct CRuleRecord {
  int BlockPasswordZIPs = 0;
  std::string Comment;
  int VirusScan = 0;
  int PassiveVirusScan = 0;
  std::string TextDisclaimerFile;
  std::string HTMLDisclaimerFile;
  int AddTextDisclaimer = 0;
  int AddHTMLDisclaimer = 0;
  int StopSPAM = 0;
  int ReplyOnAction = 0;
  int NotifyRecipientOnAction = 0;
  int NotifyAdminOnAction = 0;
  std::string ReplyFile;
  std::string NotifyRecipientFile;
  int Tear = 0;
  int Archive = 0;
  int Enabled = 0;
  std::string BlockKeywords;  // comma-separated
  int ScanSubject = 0;
  int ScanBody = 0;
  int ScanAttachments = 0;
  int BlockAdult = 0;
  int BlockMIMEContentType = 0;
  std::string MIMEContentTypeKeyword;
  std::string BlockFileTypes;  // comma-separated extensions
  int Action = 0;              // RuleAction
  int BlockEverything = 0;
  int BlockAllAttachments = 0;
  std::string To;    // list file of recipients
  std::string From;  // list file of senders
  std::string SenderExceptionList;
  std::string RecipientExceptionList;
  int AllIncoming = 0;
  int AllOutgoing = 0;
  int AllFromTo = 0;
  int EnableSenderExceptionList = 0;
  int EnableRecipientExceptionList = 0;
  std::string SizeLimitExtList;  // comma-separated extensions
  int MaxSizeExtList = 0;
  int MaxSizeExtListCompressed = 0;
  int MaxSizeAnyTotal = 0;
  int EnableMaxSizeExtList = 0;
  int EnableMaxSizeExtListCompressed = 0;
  int EnableMaxSizeAnyTotal = 0;
  int EnableForwardCopyTo = 0;
  std::string ForwardCopyTo;
  std::string ArchivePath;
  int BlockIPInList = 0;
  int BlockIPNotInList = 0;
  std::string IPInList;
  std::string IPNotInList;
  std::string RemoveFileTypes;  // comma-separated extensions
  std::string QuarantineArea;   // folder name under quaran/
  int CompressionTreshold = 0;  // percent, for kActionCompress
  int MaxAnyFileNameLength = 100;
  int EnableCheckAnyFileNameLength = 0;

  bool operator==(const CRuleRecord&) const = default;

  // Reads [Rule<n>] from `profile`. False, leaving the record untouched, when the section has
  // no `Enabled` key or it reads -1: the rule list ends there.
  [[nodiscard]] bool Load(const ProfileFile& profile, int n);
  // Appends "[Rule<n>]" and every key in the administrator's order to `profile`.
  void Write(ProfileFile& profile, int n) const;
};

using RuleKey = ConfigKey<CRuleRecord>;

// The 56 keys in the order the administrator writes them.
[[nodiscard]] std::span<const RuleKey> RuleKeys();

// The section name of rule n: "Rule" and n in decimal.
[[nodiscard]] std::string RuleSectionName(int n);

}  // namespace tarnhold
