// Reading ZIP archives for the message file: entry listing and extraction into a folder
// that no member can leave, within bounds that keep a hostile archive from filling the
// disk. All bounds are named here, in one place.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct zip;

namespace tarnhold {

// Bounds for everything unpacked from one message (nested archives included).
inline constexpr std::uint64_t kMaxUnpackedBytes = 256ull * 1024 * 1024;
inline constexpr int kMaxArchiveMembers = 4096;
// Archives inside archives: an archive this many levels down is not unpacked.
inline constexpr int kMaxArchiveDepth = 4;
// Messages inside messages (attached mails, multiparts in multiparts): the parts of a
// message this many levels down are not saved one by one; the part stays as one file.
inline constexpr int kMaxNestedMessageDepth = 8;

struct UnpackBudget {
  std::uint64_t bytes_left = kMaxUnpackedBytes;
  int members_left = kMaxArchiveMembers;
};

class ZipArchive {
 public:
  ZipArchive() = default;
  ZipArchive(const ZipArchive&) = delete;
  ZipArchive& operator=(const ZipArchive&) = delete;
  ~ZipArchive() { Close(); }

  // Opens an archive for reading. False when it is no readable ZIP archive.
  [[nodiscard]] bool Open(const std::filesystem::path& path);
  void Close();

  [[nodiscard]] int EntryCount() const;
  // The entry's stored path and file name ("sub/b.txt"; a folder entry ends in "/").
  [[nodiscard]] std::string EntryName(int index) const;
  [[nodiscard]] bool IsEncrypted(int index) const;

  // Extracts every entry below `folder`. Member paths are made safe (safe_name.h); a path
  // that would leave the folder, a member that cannot be read (an encrypted one, a damaged
  // one), or a bound of `budget` ends the extraction with false and `error` saying why.
  // `written` receives the files made, in entry order (also on failure, for clean-up);
  // a member whose safe name is taken gets a numbered name, so none overwrites another.
  [[nodiscard]] bool ExtractAll(const std::filesystem::path& folder, UnpackBudget& budget,
                                std::vector<std::filesystem::path>& written, std::string& error);

 private:
  // Writes one member to `target` (renamed when taken); `created` tells whether a file was
  // made, so that a failed extraction can remove it.
  [[nodiscard]] bool ExtractEntry(int index, std::filesystem::path& target, UnpackBudget& budget,
                                  std::string& error, bool& created);

  zip* archive_ = nullptr;
};

}  // namespace tarnhold
