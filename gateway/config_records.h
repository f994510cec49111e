// The small records of tarnhold.dat besides the rules: remote POP3 mailboxes ([POP<n>]), local
// POP3 users ([POP3User<n>]) and virus scanners ([Scanner<n>]). Each list ends at the first
// section whose list key (account or title) is empty or missing; a gap hides what follows.
#pragma once

#include <string>

#include "gateway/config_io.h"

namespace tarnhold {

// A remote mailbox that the gateway collects from, or a local user served by the POP3 server
// (of which only Active, Account and Password are used).
struct CPopAccountRecord {
  int Active = 0;
  std::string DefaultAddress;
  std::string PrecedingText;
  int RecipientDetectMode = 0;  // 0: first local-domain address; 1: address number N
  int RecipientHeaderNumber = 1;
  std::string Account;
  std::string Host;
  std::string Password;

  bool operator==(const CPopAccountRecord&) const = default;

  // Reads [POP<n>]. False when its `account` is empty: the list ends there.
  [[nodiscard]] bool LoadRemote(const ProfileFile& profile, int n);
  // Appends [POP<n>] with its keys in the administrator's order.
  void WriteRemote(ProfileFile& profile, int n) const;
  // Reads the Account, Password and Active of [POP3User<n>]. False when `Account` is empty.
  // The user's EmailAddress<k> keys are read and written by CGatewayConfig with its pairs.
  [[nodiscard]] bool LoadLocalUser(const ProfileFile& profile, int n);
  // Appends [POP3User<n>] with account, password and active.
  void WriteLocalUser(ProfileFile& profile, int n) const;
};

// One (account, address) pair of a local user: mail whose address part before "@" equals
// `address` (without regard to case) goes into that user's mailbox.
struct MailboxPair {
  std::string account;
  std::string address;

  bool operator==(const MailboxPair&) const = default;
};

// An external command-line virus scanner.
struct CScannerRecord {
  int Enabled = 0;
  int TryClean = 0;
  std::string SafeStartFindText;
  std::string SafeStartDontFindText;
  std::string SafeNowFindText;
  std::string SafeNowDontFindText;
  std::string Params;
  std::string ExePath;
  std::string Title;

  bool operator==(const CScannerRecord&) const = default;

  // Reads [Scanner<n>]. False when its `Title` is empty: the list ends there.
  [[nodiscard]] bool Load(const ProfileFile& profile, int n);
  // Appends [Scanner<n>] with its keys in the administrator's order.
  void Write(ProfileFile& profile, int n) const;
};

// Section names: "POP", "POP3User" or "Scanner" and n in decimal.
[[nodiscard]] std::string RemoteMailboxSectionName(int n);
[[nodiscard]] std::string LocalUserSectionName(int n);
[[nodiscard]] std::string ScannerSectionName(int n);

}  // namespace tarnhold
