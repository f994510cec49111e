#include "gateway/rule_record.h"

#include <array>

#include "platform/profile_file.h"

namespace tarnhold {
namespace {

// Field 24 is written "MimeContentTypeKeyword"; keys compare without regard to case, so the
// reader finds it under its field name "MIMEContentTypeKeyword" as well.
constexpr std::array<RuleKey, 56> kRuleKeys = {{
    {"AllIncoming", &CRuleRecord::AllIncoming, nullptr},
    {"AllOutgoing", &CRuleRecord::AllOutgoing, nullptr},
    {"AllFromTo", &CRuleRecord::AllFromTo, nullptr},
    {"EnableSenderExceptionList", &CRuleRecord::EnableSenderExceptionList, nullptr},
    {"EnableRecipientExceptionList", &CRuleRecord::EnableRecipientExceptionList, nullptr},
    {"From", nullptr, &CRuleRecord::From},
    {"To", nullptr, &CRuleRecord::To},
    {"SenderExceptionList", nullptr, &CRuleRecord::SenderExceptionList},
    {"RecipientExceptionList", nullptr, &CRuleRecord::RecipientExceptionList},
    {"Enabled", &CRuleRecord::Enabled, nullptr},
    {"VirusScan", &CRuleRecord::VirusScan, nullptr},
    {"PassiveVirusScan", &CRuleRecord::PassiveVirusScan, nullptr},
    {"Tear", &CRuleRecord::Tear, nullptr},
    {"BlockEverything", &CRuleRecord::BlockEverything, nullptr},
    {"BlockAllAttachments", &CRuleRecord::BlockAllAttachments, nullptr},
    {"BlockFileTypes", nullptr, &CRuleRecord::BlockFileTypes},
    {"BlockAdult", &CRuleRecord::BlockAdult, nullptr},
    {"ScanSubject", &CRuleRecord::ScanSubject, nullptr},
    {"ScanBody", &CRuleRecord::ScanBody, nullptr},
    {"ScanAttachments", &CRuleRecord::ScanAttachments, nullptr},
    {"BlockPasswordZIPs", &CRuleRecord::BlockPasswordZIPs, nullptr},
    {"BlockMIMEContentType", &CRuleRecord::BlockMIMEContentType, nullptr},
    {"MimeContentTypeKeyword", nullptr, &CRuleRecord::MIMEContentTypeKeyword},
    {"BlockKeywords", nullptr, &CRuleRecord::BlockKeywords},
    {"StopSPAM", &CRuleRecord::StopSPAM, nullptr},
    {"BlockIPNotInList", &CRuleRecord::BlockIPNotInList, nullptr},
    {"IPNotInList", nullptr, &CRuleRecord::IPNotInList},
    {"BlockIPInList", &CRuleRecord::BlockIPInList, nullptr},
    {"IPInList", nullptr, &CRuleRecord::IPInList},
    {"RemoveFileTypes", nullptr, &CRuleRecord::RemoveFileTypes},
    {"QuarantineArea", nullptr, &CRuleRecord::QuarantineArea},
    {"Action", &CRuleRecord::Action, nullptr},
    {"Archive", &CRuleRecord::Archive, nullptr},
    {"ReplyOnAction", &CRuleRecord::ReplyOnAction, nullptr},
    {"ReplyFile", nullptr, &CRuleRecord::ReplyFile},
    {"NotifyRecipientOnAction", &CRuleRecord::NotifyRecipientOnAction, nullptr},
    {"NotifyRecipientFile", nullptr, &CRuleRecord::NotifyRecipientFile},
    {"NotifyAdminOnAction", &CRuleRecord::NotifyAdminOnAction, nullptr},
    {"AddTextDisclaimer", &CRuleRecord::AddTextDisclaimer, nullptr},
    {"TextDisclaimerFile", nullptr, &CRuleRecord::TextDisclaimerFile},
    {"AddHTMLDisclaimer", &CRuleRecord::AddHTMLDisclaimer, nullptr},
    {"HTMLDisclaimerFile", nullptr, &CRuleRecord::HTMLDisclaimerFile},
    {"SizeLimitExtList", nullptr, &CRuleRecord::SizeLimitExtList},
    {"EnableMaxSizeExtList", &CRuleRecord::EnableMaxSizeExtList, nullptr},
    {"EnableMaxSizeExtListCompressed", &CRuleRecord::EnableMaxSizeExtListCompressed, nullptr},
    {"EnableMaxSizeAnyTotal", &CRuleRecord::EnableMaxSizeAnyTotal, nullptr},
    {"MaxSizeExtList", &CRuleRecord::MaxSizeExtList, nullptr},
    {"MaxSizeExtListCompressed", &CRuleRecord::MaxSizeExtListCompressed, nullptr},
    {"MaxSizeAnyTotal", &CRuleRecord::MaxSizeAnyTotal, nullptr},
    {"Comment", nullptr, &CRuleRecord::Comment},
    {"EnableForwardCopyTo", &CRuleRecord::EnableForwardCopyTo, nullptr},
    {"ForwardCopyTo", nullptr, &CRuleRecord::ForwardCopyTo},
    {"ArchivePath", nullptr, &CRuleRecord::ArchivePath},
    {"CompressionTreshold", &CRuleRecord::CompressionTreshold, nullptr},
    {"EnableCheckAnyFileNameLength", &CRuleRecord::EnableCheckAnyFileNameLength, nullptr},
    {"MaxAnyFileNameLength", &CRuleRecord::MaxAnyFileNameLength, nullptr},
}};

}  // namespace

std::span<const RuleKey> RuleKeys() { return kRuleKeys; }

std::string RuleSectionName(int n) { return "Rule" + std::to_string(n); }

bool CRuleRecord::Load(const ProfileFile& profile, int n) {
  const std::string section = RuleSectionName(n);
  if (profile.GetInt(section, "Enabled", -1) == -1) return false;
  CRuleRecord rule;
  ReadConfigKeys(profile, section, RuleKeys(), CRuleRecord{}, rule);
  *this = std::move(rule);
  return true;
}

void CRuleRecord::Write(ProfileFile& profile, int n) const {
  profile.AppendSection(RuleSectionName(n));
  // Enabled -1 would end the rule list on the next load and hide every later rule; it means
  // "not in force" as much as 0 does.
  CRuleRecord written = *this;
  if (written.Enabled == -1) written.Enabled = 0;
  WriteConfigKeys(profile, RuleKeys(), written);
}

}  // namespace tarnhold
