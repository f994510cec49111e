#include "message/safe_name.h"

#include "platform/data_root.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

std::string SafeElement(std::string_view element) {
  std::string out;
  for (char c : element) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 32 && u != 127) out += c;
  }
  std::size_t start = out.find_first_not_of('.');
  out.erase(0, start == std::string::npos ? out.size() : start);
  // Windows drops trailing dots and blanks when it saves a file: "evil.exe. " is evil.exe
  // on the recipient's disk, and the file-type checks must see it so.
  std::size_t last = out.find_last_not_of(". ");
  out.erase(last == std::string::npos ? 0 : last + 1);
  if (out.size() > kMaxNameElement) {
    std::size_t dot = out.rfind('.');
    std::string ext = (dot != std::string::npos && out.size() - dot <= 16) ? out.substr(dot) : "";
    std::size_t keep = kMaxNameElement - ext.size();
    // A decoded name is UTF-8: the cut does not split a character.
    while (keep > 0 && (static_cast<unsigned char>(out[keep]) & 0xC0) == 0x80) --keep;
    out = out.substr(0, keep) + ext;
  }
  return out.empty() ? kGeneratedFileName : out;
}

}  // namespace

std::string SafeFileName(std::string_view name) { return SafeElement(LastPathElement(name)); }

std::optional<fs::path> SafeMemberPath(std::string_view stored) {
  if (!stored.empty() && (stored[0] == '/' || stored[0] == '\\')) return std::nullopt;
  if (stored.size() >= 2 && stored[1] == ':') return std::nullopt;
  fs::path out;
  std::size_t at = 0;
  while (at <= stored.size()) {
    std::size_t end = stored.find_first_of("/\\", at);
    if (end == std::string_view::npos) end = stored.size();
    std::string_view element = stored.substr(at, end - at);
    at = end + 1;
    if (element.empty() || element == ".") continue;
    if (element == "..") return std::nullopt;
    out /= SafeElement(element);
  }
  return out;
}

fs::path NumberedName(const fs::path& path, int n) {
  std::string stem = path.stem().string(), ext = path.extension().string();
  return path.parent_path() / (stem + "_" + std::to_string(n) + ext);
}

}  // namespace tarnhold
