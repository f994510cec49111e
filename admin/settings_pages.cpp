#include "admin/settings_pages.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "admin/admin_texts.h"
#include "platform/text_case.h"
#include "platform/unique_fd.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

namespace text = admin_text;

bool ListedNoCase(const std::vector<std::string>& list, std::string_view entry) {
  return std::any_of(list.begin(), list.end(),
                     [&](const std::string& e) { return EqualsNoCase(e, entry); });
}

template <class Record>
Record* At(std::vector<Record>& list, int index) {
  if (index < 0 || index >= static_cast<int>(list.size())) return nullptr;
  return &list[static_cast<std::size_t>(index)];
}

// A list entry the gateway would misread: a line break splits it, ";" makes it a comment.
Handled CheckListEntry(AdminSession& session, std::string_view entry) {
  if (session.CheckValue(entry) == Handled::Refused) return Handled::Refused;
  if (entry.starts_with(';')) {
    session.Error(text::kListEntryIsComment);
    return Handled::Refused;
  }
  return Handled::Done;
}

}  // namespace

SettingsView RefillSettingsPages(const AdminSession& session) {
  const CGatewayConfig& c = session.Config();
  SettingsView view;
  view.outbound_host_enabled = c.OutboundGatewayType != 1;
  view.inbound_gateway_enabled = c.EnablePOP3Server != 1;
  view.local_users_enabled = c.EnablePOP3Server == 1;
  view.local_users_note_visible = c.EnablePOP3Server != 1;
  return view;
}

Handled SetDefaultsFlag(AdminSession& session, int CGatewayConfig::*field, bool on) {
  session.Config().*field = on ? 1 : 0;
  return Handled::Done;
}

Handled SetDefaultsNumber(AdminSession& session, int CGatewayConfig::*field, int value) {
  session.Config().*field = value;
  return Handled::Done;
}

Handled SetDefaultsPort(AdminSession& session, std::uint16_t CGatewayConfig::*field, int value) {
  session.Config().*field = static_cast<std::uint16_t>(std::clamp(value, 0, 65535));
  return Handled::Done;
}

Handled SetDefaultsText(AdminSession& session, std::string CGatewayConfig::*field,
                        std::string_view value) {
  if (session.CheckValue(value) == Handled::Refused) return Handled::Refused;
  session.Config().*field = std::string(value);
  return Handled::Done;
}

Handled SetEnablePop3Server(AdminSession& session, bool on) {
  session.Config().EnablePOP3Server = on ? 1 : 0;
  if (on) session.Inform(text::kPop3ServerEnabled);
  return Handled::Done;
}

bool AcceptAdultKeywordConsent(AdminSession& session) {
  return session.Boxes().Show(BoxRequest{std::string(text::kBoxTitle), std::string(text::kConsent),
                                         BoxIcon::Warning, BoxButtons::OkCancel}) == BoxAnswer::Ok;
}

Handled AddLocalDomain(AdminSession& session, std::string_view typed) {
  std::string domain = ToLower(typed);
  if (domain.empty()) {
    session.Error(text::kEnterDomain);
    return Handled::Refused;
  }
  if (CheckListEntry(session, domain) == Handled::Refused) return Handled::Refused;
  std::vector<std::string>& domains = session.Config().local_domains;
  if (ListedNoCase(domains, domain)) {
    session.Error(text::kDomainListed);
    return Handled::Refused;
  }
  domains.push_back(domain);
  return Handled::Done;
}

Handled RemoveLocalDomain(AdminSession& session, std::string_view domain) {
  std::erase_if(session.Config().local_domains,
                [&](const std::string& d) { return EqualsNoCase(d, domain); });
  return Handled::Done;
}

Handled AddDialTime(AdminSession& session, std::string_view typed) {
  if (typed.empty()) {
    session.Error(text::kEnterDialTime);
    return Handled::Refused;
  }
  if (session.CheckValue(typed) == Handled::Refused) return Handled::Refused;
  std::vector<std::string>& times = session.Config().dial_times;
  if (ListedNoCase(times, typed)) {
    session.Error(text::kTimeListed);
    return Handled::Refused;
  }
  times.emplace_back(typed);
  SortLikeListBox(times);
  return Handled::Done;
}

Handled RemoveDialTime(AdminSession& session, std::string_view time) {
  std::erase_if(session.Config().dial_times,
                [&](const std::string& t) { return EqualsNoCase(t, time); });
  return Handled::Done;
}

Handled EditListFile(AdminSession& session, std::string_view value) {
  if (value.empty()) {
    session.Error(text::kSelectFile);
    return Handled::Refused;
  }
  fs::path path = session.Config().MapPath(value);
  std::error_code ec;
  if (!fs::exists(path, ec)) {
    // An editor opened on a missing file has nothing to show; an empty list is what is meant.
    UniqueFd created(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  }
  std::string error;
  if (OpenWithDesktop(session.Launcher(), path, error) != LaunchResult::Started) {
    session.Error(text::kNoApplication);
    return Handled::Refused;
  }
  return Handled::Done;
}

Handled ViewLogsFolder(AdminSession& session) {
  std::string error;
  if (OpenWithDesktop(session.Launcher(), session.Layout().Logs(), error) !=
      LaunchResult::Started) {
    session.Error(text::kCannotViewLogs);
    return Handled::Refused;
  }
  return Handled::Done;
}

int NewPopAccount(AdminSession& session) {
  CPopAccountRecord pop;
  pop.Active = 1;
  pop.PrecedingText = "for";
  pop.RecipientDetectMode = 0;
  pop.RecipientHeaderNumber = 1;
  session.Config().pop_accounts.push_back(pop);
  return static_cast<int>(session.Config().pop_accounts.size()) - 1;
}

Handled DeletePopAccount(AdminSession& session, int index) {
  std::vector<CPopAccountRecord>& pops = session.Config().pop_accounts;
  if (At(pops, index)) pops.erase(pops.begin() + index);
  return Handled::Done;
}

Handled SetPopText(AdminSession& session, int index, std::string CPopAccountRecord::*field,
                   std::string_view value) {
  CPopAccountRecord* pop = At(session.Config().pop_accounts, index);
  if (!pop) return Handled::Done;
  if (session.CheckValue(value) == Handled::Refused) return Handled::Refused;
  pop->*field = std::string(value);
  return Handled::Done;
}

Handled SetPopNumber(AdminSession& session, int index, int CPopAccountRecord::*field, int value) {
  if (CPopAccountRecord* pop = At(session.Config().pop_accounts, index)) pop->*field = value;
  return Handled::Done;
}

Handled AddLocalUser(AdminSession& session, std::string_view typed, bool create_mailbox) {
  if (typed.empty()) {
    session.Error(text::kEnterAccount);
    return Handled::Refused;
  }
  if (session.CheckValue(typed) == Handled::Refused) return Handled::Refused;
  CGatewayConfig& c = session.Config();
  for (CPopAccountRecord& user : c.local_users) {
    if (!EqualsNoCase(user.Account, typed)) continue;
    if (user.Active == 1) {
      session.Error(text::kAccountExists);
      return Handled::Refused;
    }
    user.Active = 1;
    session.Inform(text::kAccountReactivated);
    return Handled::Done;
  }
  CPopAccountRecord user;
  user.Active = 1;
  user.Account = std::string(typed);
  c.local_users.push_back(user);
  if (create_mailbox) c.mailbox_pairs.push_back(MailboxPair{user.Account, user.Account});
  return Handled::Done;
}

Handled RemoveLocalUser(AdminSession& session, int index) {
  CPopAccountRecord* user = At(session.Config().local_users, index);
  if (!user) return Handled::Done;
  if (!session.Boxes().AskYesNo(std::string(text::kBoxTitle), std::string(text::kRemoveAccount)))
    return Handled::Refused;
  std::erase_if(session.Config().mailbox_pairs,
                [&](const MailboxPair& p) { return EqualsNoCase(p.account, user->Account); });
  // The account keeps its number: it is its mailbox number, restored when it is added again.
  user->Active = 0;
  return Handled::Done;
}

Handled SetDefaultLocalUser(AdminSession& session, int index) {
  if (At(session.Config().local_users, index)) session.Config().DefaultPOP3LocalUserID = index;
  return Handled::Done;
}

Handled SetLocalUserPassword(AdminSession& session, int index, std::string_view password) {
  CPopAccountRecord* user = At(session.Config().local_users, index);
  if (!user) return Handled::Done;
  if (session.CheckValue(password) == Handled::Refused) return Handled::Refused;
  user->Password = std::string(password);
  return Handled::Done;
}

Handled AddUserAddress(AdminSession& session, int index, std::string_view address) {
  CGatewayConfig& c = session.Config();
  for (const MailboxPair& pair : c.mailbox_pairs) {
    if (EqualsNoCase(pair.address, address)) {
      session.Error(std::string(text::kAddressExists) + pair.account);
      return Handled::Refused;
    }
  }
  CPopAccountRecord* user = At(c.local_users, index);
  if (!user) {
    session.Error(text::kSelectAccount);
    return Handled::Refused;
  }
  // An empty address would end the user's address list when the gateway reads it.
  if (address.empty() || session.CheckValue(address) == Handled::Refused) return Handled::Refused;
  c.mailbox_pairs.push_back(MailboxPair{user->Account, std::string(address)});
  return Handled::Done;
}

Handled RemoveUserAddress(AdminSession& session, int index, std::string_view address) {
  CGatewayConfig& c = session.Config();
  CPopAccountRecord* user = At(c.local_users, index);
  if (!user || address.empty()) {
    session.Error(text::kSelectItemToRemove);
    return Handled::Refused;
  }
  auto same = [&](const MailboxPair& p) {
    return EqualsNoCase(p.account, user->Account) && p.address == address;
  };
  if (auto it = std::find_if(c.mailbox_pairs.begin(), c.mailbox_pairs.end(), same);
      it != c.mailbox_pairs.end())
    c.mailbox_pairs.erase(it);
  if (UserAddresses(session, index).empty()) session.Warn(text::kNoMailboxes);
  return Handled::Done;
}

std::vector<std::string> UserAddresses(const AdminSession& session, int index) {
  const CGatewayConfig& c = session.Config();
  std::vector<std::string> addresses;
  if (index < 0 || index >= static_cast<int>(c.local_users.size())) return addresses;
  const std::string& account = c.local_users[static_cast<std::size_t>(index)].Account;
  for (const MailboxPair& p : c.mailbox_pairs) {
    if (EqualsNoCase(p.account, account)) addresses.push_back(p.address);
  }
  return addresses;
}

int WaitingMessages(const AdminSession& session, int index) {
  int count = 0;
  std::error_code ec;
  for (fs::directory_iterator it(session.Layout().Mailbox(index), ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code type_ec;
    if (it->is_regular_file(type_ec)) ++count;
  }
  return count;
}

int NewScanner(AdminSession& session) {
  session.Config().scanners.emplace_back();
  return static_cast<int>(session.Config().scanners.size()) - 1;
}

Handled DeleteScanner(AdminSession& session, int index) {
  std::vector<CScannerRecord>& scanners = session.Config().scanners;
  if (At(scanners, index)) scanners.erase(scanners.begin() + index);
  return Handled::Done;
}

Handled SetScannerText(AdminSession& session, int index, std::string CScannerRecord::*field,
                       std::string_view value) {
  CScannerRecord* scanner = At(session.Config().scanners, index);
  if (!scanner) return Handled::Done;
  if (session.CheckValue(value) == Handled::Refused) return Handled::Refused;
  scanner->*field = std::string(value);
  return Handled::Done;
}

Handled SetScannerFlag(AdminSession& session, int index, int CScannerRecord::*field, bool on) {
  if (CScannerRecord* scanner = At(session.Config().scanners, index)) scanner->*field = on ? 1 : 0;
  return Handled::Done;
}

Handled AddSpamEntry(AdminSession& session, SpamList list, std::string_view typed) {
  std::string entry = ToLower(typed);
  if (entry.empty()) {
    session.Error(list == SpamList::Friends ? text::kEnterItem : text::kEnterEmail);
    return Handled::Refused;
  }
  if (CheckListEntry(session, entry) == Handled::Refused) return Handled::Refused;
  std::vector<std::string>& entries =
      list == SpamList::Friends ? session.MutableFriends() : session.MutableRedirections();
  if (ListedNoCase(entries, entry)) {
    session.Error(text::kItemListed);
    return Handled::Refused;
  }
  entries.push_back(entry);
  SortLikeListBox(entries);
  session.WriteListFiles();
  return Handled::Done;
}

Handled RemoveSpamEntry(AdminSession& session, SpamList list, std::string_view entry) {
  std::vector<std::string>& entries =
      list == SpamList::Friends ? session.MutableFriends() : session.MutableRedirections();
  auto it = std::find(entries.begin(), entries.end(), entry);
  if (it == entries.end()) return Handled::Done;
  entries.erase(it);
  session.WriteListFiles();
  return Handled::Done;
}

}  // namespace tarnhold
