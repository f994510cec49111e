#include "message/disclaimer.h"

#include <string>
#include <string_view>

#include "message/file_sources.h"
#include "message/mime_header.h"
#include "platform/locked_file.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

constexpr int kLineMax = 64 * 1024;

// The disclaimer file's text without carriage returns, its line feeds written as CR LF.
bool LoadDisclaimer(const fs::path& path, std::string& text) {
  CFileSource file(path);
  if (file.Open(kOpenRead) != 0) return false;
  std::string raw(kMaxDisclaimerText + 1, '\0');
  long n = file.Read(raw.data(), raw.size());
  file.Close();
  if (n < 0 || static_cast<std::size_t>(n) > kMaxDisclaimerText) return false;
  raw.resize(static_cast<std::size_t>(n));
  text.clear();
  for (char c : raw) {
    if (c == '\r') continue;
    if (c == '\n') text += '\r';
    text += c;
  }
  return true;
}

std::string_view WithoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  return line;
}

// The boundary named on a "boundary=" line, quoted or not.
std::string BoundaryOnLine(std::string_view line) {
  std::size_t at = line.find("boundary=");
  return at == std::string_view::npos ? "" : BoundaryFromText(line.substr(at));
}

// Walks the item's lines; `visit(offset, line)` returns true to stop.
template <typename Visit>
bool WalkLines(CDataSource& source, Visit visit) {
  std::string line;
  std::int64_t offset = 0;
  for (int n; (n = source.ReadLine(line, kLineMax)) > 0; offset += n) {
    if (visit(offset, std::string_view(WithoutLineEnd(line)))) return true;
  }
  return false;
}

// Writes `disclaimer`, CR LF and the held-back text at `at`.
int InsertAt(CDataSource& item, std::int64_t at, const std::string& disclaimer) {
  std::int64_t size = item.Size();
  if (size < at || static_cast<std::uint64_t>(size - at) > kMaxDisclaimerHeldBack) return -1;
  std::string rest(static_cast<std::size_t>(size - at), '\0');
  if (item.Seek(at, kSeekStart) != at ||
      item.Read(rest.data(), rest.size()) != static_cast<long>(rest.size())) {
    return -1;
  }
  std::string text = disclaimer + "\r\n" + rest;
  if (item.Seek(at, kSeekStart) != at ||
      item.Write(text.data(), text.size()) != static_cast<long>(text.size())) {
    return -1;
  }
  return 1;
}

// Locks the item and opens it as a source; -1 when that fails.
struct OpenItem {
  LockedFile file;
  std::unique_ptr<CHandleSource> source;
  bool Open(const fs::path& path) {
    std::string error;
    if (file.OpenLocked(path, Access::ReadWrite, error) != LockResult::Locked) return false;
    source = std::make_unique<CHandleSource>(file.Fd());
    return source->Open(kOpenRead) == 0;
  }
  int Finish(int result) {
    if (source && source->Close() != 0) result = -1;
    source.reset();
    if (result == 1 && !file.Sync()) result = -1;
    return result;
  }
};

}  // namespace

int AddTextDisclaimer(const fs::path& item_path, const fs::path& disclaimer_path) {
  std::string disclaimer;
  if (!LoadDisclaimer(disclaimer_path, disclaimer)) return -1;
  OpenItem item;
  if (!item.Open(item_path)) return -1;
  std::string boundary;
  bool in_text = false, in_body = false;
  std::int64_t insertion = -1;
  WalkLines(*item.source, [&](std::int64_t offset, std::string_view line) {
    if (boundary.empty() && line.find("boundary=") != std::string_view::npos) {
      boundary = BoundaryOnLine(line);
    }
    if (!in_text) {
      in_text = line.find("Content-Type: text/plain") != std::string_view::npos;
    } else if (!in_body) {
      in_body = line.empty();
    } else if (!boundary.empty() && line.find(boundary) != std::string_view::npos) {
      insertion = offset;
      return true;
    }
    return false;
  });
  if (!boundary.empty()) {
    return item.Finish(insertion >= 0 ? InsertAt(*item.source, insertion, disclaimer) : 1);
  }
  // Single part: the disclaimer goes before the "." line that ends the stored message.
  std::int64_t size = item.source->Size();
  std::string tail(5, '\0');
  bool dot_end = size >= 5 && item.source->Seek(size - 5, kSeekStart) == size - 5 &&
                 item.source->Read(tail.data(), 5) == 5 && tail == "\r\n.\r\n";
  std::string text = dot_end ? disclaimer + "\r\n.\r\n" : disclaimer + "\r\n";
  if (!dot_end && size > 0) {
    char last = 0;
    if (item.source->Seek(size - 1, kSeekStart) == size - 1 && item.source->Read(&last, 1) == 1 &&
        last != '\n') {
      text = "\r\n" + text;
    }
  }
  std::int64_t at = dot_end ? size - 5 : size;
  bool ok = item.source->Seek(at, kSeekStart) == at &&
            item.source->Write(text.data(), text.size()) == static_cast<long>(text.size());
  return item.Finish(ok ? 1 : -1);
}

int AddHtmlDisclaimer(const fs::path& item_path, const fs::path& disclaimer_path) {
  std::string disclaimer;
  if (!LoadDisclaimer(disclaimer_path, disclaimer)) return -1;
  OpenItem item;
  if (!item.Open(item_path)) return -1;
  std::string boundary;
  enum class State { Looking, Header, Body } state = State::Looking;
  std::int64_t insertion = -1;
  WalkLines(*item.source, [&](std::int64_t offset, std::string_view line) {
    if (boundary.empty() && line.find("boundary=") != std::string_view::npos) {
      boundary = BoundaryOnLine(line);
    }
    if (state == State::Looking && line.find("Content-Type: text/html") != std::string_view::npos) {
      state = State::Header;
    }
    if (state == State::Header) {
      // A name makes it an HTML attachment, not the message's HTML body.
      if (line.find("name=") != std::string_view::npos) {
        state = State::Looking;
      } else if (line.empty()) {
        state = State::Body;
      }
      return false;
    }
    if (state != State::Body) return false;
    for (const char* tag : {"</BODY>", "</body>", "</HTML>", "</html>"}) {
      std::size_t at = line.find(tag);
      if (at != std::string_view::npos) {
        insertion = offset + static_cast<std::int64_t>(at);
        return true;
      }
    }
    return false;
  });
  if (boundary.empty() || insertion < 0) return item.Finish(0);
  return item.Finish(InsertAt(*item.source, insertion, disclaimer));
}

}  // namespace tarnhold
