#include "sweeper/rule_checks.h"

#include <sys/stat.h>

#include "gateway/address_lists.h"
#include "platform/data_root.h"
#include "sweeper/content_checks.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

constexpr std::int64_t kKb = 1024;

// Size of an attachment file, or -1 when it has vanished.
std::int64_t FileSize(const fs::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The alias text an aliases.dat entry stands for: lower-cased, and for an entry with "*" the
// text from two characters behind the first "*" ("*@example.com" becomes "example.com").
std::string AliasText(const std::string& entry) {
  std::string lower = LowerAscii(entry);
  std::size_t star = lower.find('*');
  if (star == std::string::npos) return lower;
  return star + 2 >= lower.size() ? std::string() : lower.substr(star + 2);
}

bool AddressedToSite(RuleContext& ctx) {
  const MessageFacts& m = ctx.message;
  for (const auto& domain : ctx.config.local_domains) {
    if (Contains(m.to, domain) || Contains(m.cc, domain)) return true;
  }
  std::vector<std::string> aliases;
  if (lists::ReadListFile(ctx.config.Layout().AliasesFile(), aliases) == 1) {
    for (const auto& entry : aliases) {
      std::string alias = AliasText(entry);
      if (Contains(m.to, alias) || Contains(m.cc, alias)) return true;
    }
  }
  return false;
}

bool CheckSizeByType(const CRuleRecord& rule, RuleContext& ctx) {
  const MessageFacts& m = ctx.message;
  if (rule.SizeLimitExtList.empty() || MatchFileTypes(rule.SizeLimitExtList, m.attachments) != 1)
    return false;
  if (m.has_zip) {
    if (rule.EnableMaxSizeExtListCompressed == 1 &&
        m.item_size > rule.MaxSizeExtListCompressed * kKb) {
      ctx.log("compressed file size limit exceeded");
      return true;
    }
    return false;
  }
  if (rule.EnableMaxSizeExtList != 1) return false;
  // The limit is for attachments of the listed types only.
  auto types = SplitCommaList(rule.SizeLimitExtList);
  bool exceeded = false;
  for (const auto& file : m.attachments) {
    if (file.filename().string().find('.') == std::string::npos) continue;
    if (!PathMatchesFileTypes(types, file)) continue;
    if (FileSize(file) > rule.MaxSizeExtList * kKb) {
      ctx.log("file size limit exceeded");
      exceeded = true;
    }
  }
  return exceeded;
}

bool CheckFileNameLength(const CRuleRecord& rule, RuleContext& ctx) {
  bool exceeded = false;
  for (const auto& file : ctx.message.attachments) {
    if (IsHtmlBodyFile(file)) continue;
    std::string_view name = LastPathElement(file.native());
    if (static_cast<std::int64_t>(name.size()) > rule.MaxAnyFileNameLength) {
      ctx.log("file name length exceeds the allowed length");
      exceeded = true;
    }
  }
  return exceeded;
}

}  // namespace

bool CheckSpam(int rule_number, RuleContext& ctx) {
  const MessageFacts& m = ctx.message;
  // Mail that names its recipient openly is never SPAM for this rule.
  if (Contains(m.to, m.envelope_recipient) || Contains(m.cc, m.envelope_recipient)) return false;
  if (ctx.state.not_spam) return false;
  if (AddressedToSite(ctx)) {
    ctx.state.not_spam = true;
    return false;
  }
  if (lists::MatchListFile(m.envelope_sender, ctx.config.Layout().SpamFreeFile()) == 1) return false;
  ctx.log(RulePrefix(rule_number) + " - message is SPAM");
  ctx.state.spam = true;
  return true;
}

bool RunChecks(int i, const CRuleRecord& r, RuleContext& ctx) {
  const MessageFacts& m = ctx.message;
  const std::string prefix = RulePrefix(i);
  auto fire = [&](const std::string& text) {
    ctx.log(prefix + text);
    return true;
  };
  auto scan = [&](std::string_view list) {
    return ContentScan(list, m, r.ScanSubject == 1, r.ScanBody == 1, r.ScanAttachments == 1) == 1;
  };

  if (r.StopSPAM == 1 && CheckSpam(i, ctx)) return true;
  if (r.VirusScan == 1 && ctx.virus_check && ctx.virus_check(i, r, ctx)) return true;
  if (r.PassiveVirusScan == 1 && m.attachment_vanished)
    return fire(" - passive virus scan denied access to file attachment");
  if (!r.BlockFileTypes.empty() && MatchFileTypes(r.BlockFileTypes, m.attachments) == 1)
    return fire(" - triggered on file types");
  if (r.BlockAllAttachments == 1 && !m.attachments.empty())
    return fire(" - triggred on ALL file types");
  if (CheckSizeByType(r, ctx)) return true;
  if (r.EnableMaxSizeAnyTotal == 1 && m.item_size > r.MaxSizeAnyTotal * kKb) {
    ctx.log("rule limits the total size");
    return true;
  }
  if (r.EnableCheckAnyFileNameLength == 1 && CheckFileNameLength(r, ctx)) return true;
  // An empty keyword list would be one empty element that fits every text.
  if (r.BlockAdult == 1 && !ctx.config.AdultKeywords.empty() && scan(ctx.config.AdultKeywords))
    return fire(" - adult content identified");
  if (r.BlockMIMEContentType == 1 && MessageHasContentType(m, r.MIMEContentTypeKeyword) == 1)
    return fire(" - contains MIME Content-Type " + r.MIMEContentTypeKeyword);
  if (!r.BlockKeywords.empty() && scan(r.BlockKeywords))
    return fire(" - keyword content identified");
  if (r.BlockPasswordZIPs == 1 && m.zip_encrypted)
    return fire(" - detected an encrypted ZIP archive");
  if (r.BlockIPInList == 1 &&
      lists::MatchListFile(m.source_ip, MapConfigPath(ctx.Root(), r.IPInList)) == 1)
    return fire(" - source IP " + m.source_ip + " is in the block list");
  if (r.BlockIPNotInList == 1 &&
      lists::MatchListFile(m.source_ip, MapConfigPath(ctx.Root(), r.IPNotInList)) == 0)
    return fire(" - source IP " + m.source_ip + " NOT found the allowed list");
  return false;
}

}  // namespace tarnhold
