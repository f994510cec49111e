#include "sweeper/compression.h"

#include <unistd.h>
#include <zip.h>

#include <set>

#include "platform/data_root.h"
#include "sweeper/content_checks.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

// Adds the files; false (with its line) on a duplicate name or a file that cannot be added.
bool AddFiles(zip_t* zip, const std::vector<fs::path>& attachments, int& added,
              const LineSink& log) {
  std::set<std::string> names;
  for (const auto& file : attachments) {
    if (file.native().find(kHtmlBodyName) != std::string::npos) continue;
    std::string name(LastPathElement(file.native()));
    log("compressing " + name);
    if (!names.insert(LowerAscii(name)).second) {
      log("aborting compression, duplicate filename found " + name);
      return false;
    }
    // libzip reads the file only when the archive is written: look at it now, so that a
    // vanished attachment is reported as the file it is.
    std::error_code ec;
    bool readable = fs::is_regular_file(file, ec) && ::access(file.c_str(), R_OK) == 0;
    zip_source_t* source = readable ? zip_source_file(zip, file.c_str(), 0, 0) : nullptr;
    if (source == nullptr || zip_file_add(zip, name.c_str(), source, ZIP_FL_ENC_GUESS) < 0) {
      if (source != nullptr) zip_source_free(source);
      log("ZIP add file error (aborting compression), failed to add " + name);
      return false;
    }
    ++added;
  }
  return true;
}

}  // namespace

std::int64_t TotalAttachmentSize(const std::vector<fs::path>& attachments) {
  std::int64_t total = 0;
  for (const auto& file : attachments) {
    if (file.native().find(kHtmlBodyName) != std::string::npos) continue;
    std::error_code ec;
    auto size = fs::file_size(file, ec);
    if (!ec) total += static_cast<std::int64_t>(size);
  }
  return total;
}

bool CompressAttachments(const std::vector<fs::path>& attachments, const fs::path& archive,
                         int threshold_pct, const LineSink& log) {
  std::error_code ec;
  fs::remove(archive, ec);
  int error = 0;
  zip_t* zip = zip_open(archive.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (zip == nullptr) {
    log("zip error: failed to create a new zip archive");
    return false;
  }
  int added = 0;
  if (!AddFiles(zip, attachments, added, log)) {
    log("zip error: operation aborted");
    zip_discard(zip);
    return false;
  }
  if (added == 0) {
    log("aborting compression, nothing to compress");
    zip_discard(zip);
    return false;
  }
  if (zip_close(zip) != 0) {
    log(std::string("compression error: ") + zip_strerror(zip));
    zip_discard(zip);
    fs::remove(archive, ec);
    return false;
  }
  auto packed = static_cast<double>(fs::file_size(archive, ec));
  std::int64_t original = TotalAttachmentSize(attachments);
  // Nothing to measure against (only empty files): no gain.
  double ratio = original > 0 && !ec ? packed / static_cast<double>(original) * 100.0 : 100.0;
  if (ratio > 1e6) ratio = 1e6;
  int pct = static_cast<int>(ratio);
  if (threshold_pct >= ratio) {
    log("zip compression successful, compressed size is " + std::to_string(pct) +
        "% of the original");
    return true;
  }
  log("aborting compression, new size " + std::to_string(pct) +
      "% of the original not satisfactory");
  return false;
}

}  // namespace tarnhold
