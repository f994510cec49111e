#include "admin/dial_up_lists.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>
#include <system_error>

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

// A bound on what a hostile or odd folder can make the page list.
constexpr std::size_t kMaxListed = 1000;

}  // namespace

std::vector<std::string> ListDialEntries(const fs::path& peers_folder) {
  std::vector<std::string> entries;
  std::error_code ec;
  for (fs::directory_iterator it(peers_folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (entries.size() >= kMaxListed) break;
    std::error_code type_ec;
    std::string name = it->path().filename().string();
    if (!name.starts_with('.') && it->is_regular_file(type_ec)) entries.push_back(name);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::vector<std::string> ListModems(const fs::path& devices_folder) {
  constexpr std::array<std::string_view, 3> kSerialPrefixes = {"ttyS", "ttyUSB", "ttyACM"};
  std::vector<std::string> modems;
  std::error_code ec;
  for (fs::directory_iterator it(devices_folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (modems.size() >= kMaxListed) break;
    std::string name = it->path().filename().string();
    for (std::string_view prefix : kSerialPrefixes) {
      if (name.size() > prefix.size() && name.starts_with(prefix) &&
          std::isdigit(static_cast<unsigned char>(name[prefix.size()]))) {
        modems.push_back(it->path().string());
        break;
      }
    }
  }
  std::sort(modems.begin(), modems.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  return modems;
}

}  // namespace tarnhold
