// Reading and writing the values of tarnhold.dat: a text value is at most 254 characters both
// ways (every reader uses 255-byte buffers), and a record's keys are one table of member
// pointers that drives both its reader and its writer, so the two cannot drift apart.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "platform/profile_file.h"

namespace tarnhold {

inline constexpr std::size_t kMaxConfigValueLength = 254;

// The value of `key` in `section`, "" when missing, cut to kMaxConfigValueLength.
[[nodiscard]] inline std::string ReadConfigText(const ProfileFile& profile,
                                                std::string_view section, std::string_view key) {
  return profile.GetString(section, key, "", kMaxConfigValueLength + 1);
}

// Appends "key=value" under the last section, the value cut to kMaxConfigValueLength.
inline void WriteConfigText(ProfileFile& profile, std::string_view key, std::string_view value) {
  profile.AppendEntry(key, value.substr(0, kMaxConfigValueLength));
}

// One key of a record: exactly one of the two member pointers is set. `key` is spelled as
// written; reading ignores case and blanks around it.
template <class Record>
struct ConfigKey {
  std::string_view key;
  int Record::*number = nullptr;
  std::string Record::*text = nullptr;
};

// Reads every key of `keys` from `section` into `record`; a missing key takes its value in
// `defaults`.
template <class Record>
void ReadConfigKeys(const ProfileFile& profile, std::string_view section,
                    std::span<const ConfigKey<Record>> keys, const Record& defaults,
                    Record& record) {
  for (const ConfigKey<Record>& k : keys) {
    if (k.number) {
      record.*k.number = profile.GetInt(section, k.key, defaults.*k.number);
    } else {
      record.*k.text = ReadConfigText(profile, section, k.key);
    }
  }
}

// Appends every key of `keys` in table order under the last section.
template <class Record>
void WriteConfigKeys(ProfileFile& profile, std::span<const ConfigKey<Record>> keys,
                     const Record& record) {
  for (const ConfigKey<Record>& k : keys) {
    if (k.number) {
      profile.AppendInt(k.key, record.*k.number);
    } else {
      WriteConfigText(profile, k.key, record.*k.text);
    }
  }
}

}  // namespace tarnhold
