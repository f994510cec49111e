// The nine settings pages' logic: what a refill shows and one handler per control. Values go
// into the in-memory configuration at once; the two SPAM lists go to their files at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "admin/admin_session.h"

namespace tarnhold {

// What enables and hides what on the settings pages after a refill.
struct SettingsView {
  bool outbound_host_enabled = true;    // off while delivering by MX
  bool inbound_gateway_enabled = true;  // off while the POP3 server serves local mail
  bool local_users_enabled = false;     // the Local POP3 Users controls
  bool local_users_note_visible = true;
};
[[nodiscard]] SettingsView RefillSettingsPages(const AdminSession& session);

// Plain [Defaults] values: check boxes store 1 or 0, number boxes their value, edit boxes their
// text (refused when the gateway would misread it).
Handled SetDefaultsFlag(AdminSession& session, int CGatewayConfig::*field, bool on);
Handled SetDefaultsNumber(AdminSession& session, int CGatewayConfig::*field, int value);
Handled SetDefaultsPort(AdminSession& session, std::uint16_t CGatewayConfig::*field, int value);
Handled SetDefaultsText(AdminSession& session, std::string CGatewayConfig::*field,
                        std::string_view value);
// "Enable POP3 server ...": also tells what it means when switched on.
Handled SetEnablePop3Server(AdminSession& session, bool on);
// The General page's "Edit": asks for the consent; true when the keywords may be shown.
[[nodiscard]] bool AcceptAdultKeywordConsent(AdminSession& session);

// Local domains and dial times: the typed text is added to its list or refused.
Handled AddLocalDomain(AdminSession& session, std::string_view typed);
Handled RemoveLocalDomain(AdminSession& session, std::string_view domain);
Handled AddDialTime(AdminSession& session, std::string_view typed);
Handled RemoveDialTime(AdminSession& session, std::string_view time);

// "Edit" beside a list file: opens it in the desktop's editor, creating it when missing.
Handled EditListFile(AdminSession& session, std::string_view value);
// "View Logs": opens the log folder in the file manager.
Handled ViewLogsFolder(AdminSession& session);

// POP3 download accounts. NewPopAccount returns the new account's index.
int NewPopAccount(AdminSession& session);
Handled DeletePopAccount(AdminSession& session, int index);
Handled SetPopText(AdminSession& session, int index, std::string CPopAccountRecord::*field,
                   std::string_view value);
Handled SetPopNumber(AdminSession& session, int index, int CPopAccountRecord::*field, int value);

// Local POP3 users (index = mailbox number).
Handled AddLocalUser(AdminSession& session, std::string_view typed, bool create_mailbox);
Handled RemoveLocalUser(AdminSession& session, int index);
Handled SetDefaultLocalUser(AdminSession& session, int index);
Handled SetLocalUserPassword(AdminSession& session, int index, std::string_view password);
// index -1: no account selected.
Handled AddUserAddress(AdminSession& session, int index, std::string_view address);
Handled RemoveUserAddress(AdminSession& session, int index, std::string_view address);
// The addresses paired with a user's account, in pair order.
[[nodiscard]] std::vector<std::string> UserAddresses(const AdminSession& session, int index);
// Messages waiting in popstore/<index>.
[[nodiscard]] int WaitingMessages(const AdminSession& session, int index);

// Virus scanners. NewScanner returns the new scanner's index.
int NewScanner(AdminSession& session);
Handled DeleteScanner(AdminSession& session, int index);
Handled SetScannerText(AdminSession& session, int index, std::string CScannerRecord::*field,
                       std::string_view value);
Handled SetScannerFlag(AdminSession& session, int index, int CScannerRecord::*field, bool on);

// The SPAM lists: every add or remove writes both list files at once.
enum class SpamList { Friends, Redirections };
Handled AddSpamEntry(AdminSession& session, SpamList list, std::string_view typed);
Handled RemoveSpamEntry(AdminSession& session, SpamList list, std::string_view entry);

}  // namespace tarnhold
