#include "gateway/config_records.h"

#include <array>

namespace tarnhold {
namespace {

using PopKey = ConfigKey<CPopAccountRecord>;
using ScannerKey = ConfigKey<CScannerRecord>;

// [POP<n>] in the administrator's order; the reader finds "Active" under "active" and so on.
constexpr std::array<PopKey, 8> kRemoteKeys = {{
    {"account", nullptr, &CPopAccountRecord::Account},
    {"host", nullptr, &CPopAccountRecord::Host},
    {"password", nullptr, &CPopAccountRecord::Password},
    {"active", &CPopAccountRecord::Active, nullptr},
    {"RecipientDetectMode", &CPopAccountRecord::RecipientDetectMode, nullptr},
    {"RecipientHeaderNumber", &CPopAccountRecord::RecipientHeaderNumber, nullptr},
    {"PrecedingText", nullptr, &CPopAccountRecord::PrecedingText},
    {"DefaultAddress", nullptr, &CPopAccountRecord::DefaultAddress},
}};

// [POP3User<n>] before its EmailAddress<k> keys.
constexpr std::array<PopKey, 3> kLocalUserKeys = {{
    {"account", nullptr, &CPopAccountRecord::Account},
    {"password", nullptr, &CPopAccountRecord::Password},
    {"active", &CPopAccountRecord::Active, nullptr},
}};

constexpr std::array<ScannerKey, 9> kScannerKeys = {{
    {"Title", nullptr, &CScannerRecord::Title},
    {"Enabled", &CScannerRecord::Enabled, nullptr},
    {"TryClean", &CScannerRecord::TryClean, nullptr},
    {"ExePath", nullptr, &CScannerRecord::ExePath},
    {"Params", nullptr, &CScannerRecord::Params},
    {"SafeStartFindText", nullptr, &CScannerRecord::SafeStartFindText},
    {"SafeStartDontFindText", nullptr, &CScannerRecord::SafeStartDontFindText},
    {"SafeNowFindText", nullptr, &CScannerRecord::SafeNowFindText},
    {"SafeNowDontFindText", nullptr, &CScannerRecord::SafeNowDontFindText},
}};

// Reads `keys` of `section` into `record` when its list key is not empty; false otherwise,
// leaving `record` untouched.
template <class Record, std::size_t N>
bool LoadListed(const ProfileFile& profile, const std::string& section,
                const std::array<ConfigKey<Record>, N>& keys, std::string_view list_key,
                Record& record) {
  if (ReadConfigText(profile, section, list_key).empty()) return false;
  Record read;
  ReadConfigKeys<Record>(profile, section, keys, Record{}, read);
  record = std::move(read);
  return true;
}

}  // namespace

std::string RemoteMailboxSectionName(int n) { return "POP" + std::to_string(n); }
std::string LocalUserSectionName(int n) { return "POP3User" + std::to_string(n); }
std::string ScannerSectionName(int n) { return "Scanner" + std::to_string(n); }

bool CPopAccountRecord::LoadRemote(const ProfileFile& profile, int n) {
  return LoadListed(profile, RemoteMailboxSectionName(n), kRemoteKeys, "account", *this);
}

void CPopAccountRecord::WriteRemote(ProfileFile& profile, int n) const {
  profile.AppendSection(RemoteMailboxSectionName(n));
  WriteConfigKeys<CPopAccountRecord>(profile, kRemoteKeys, *this);
}

bool CPopAccountRecord::LoadLocalUser(const ProfileFile& profile, int n) {
  return LoadListed(profile, LocalUserSectionName(n), kLocalUserKeys, "Account", *this);
}

void CPopAccountRecord::WriteLocalUser(ProfileFile& profile, int n) const {
  profile.AppendSection(LocalUserSectionName(n));
  WriteConfigKeys<CPopAccountRecord>(profile, kLocalUserKeys, *this);
}

bool CScannerRecord::Load(const ProfileFile& profile, int n) {
  return LoadListed(profile, ScannerSectionName(n), kScannerKeys, "Title", *this);
}

void CScannerRecord::Write(ProfileFile& profile, int n) const {
  profile.AppendSection(ScannerSectionName(n));
  WriteConfigKeys<CScannerRecord>(profile, kScannerKeys, *this);
}

}  // namespace tarnhold
