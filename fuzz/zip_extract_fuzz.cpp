// Arbitrary bytes as a ZIP archive: listing and extraction must stay inside the target
// folder and within the bounds, and every file written is reported.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "message/zip_archive.h"

using namespace tarnhold;
namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* tmp = std::getenv("TMPDIR");
  static const fs::path work =
      fs::path(tmp && *tmp ? tmp : "/tmp") / ("thfuzz-zip-" + std::to_string(::getpid()));
  fs::remove_all(work);
  fs::create_directories(work / "out");
  {
    std::ofstream out(work / "a.zip", std::ios::binary);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  ZipArchive zip;
  if (!zip.Open(work / "a.zip")) return 0;
  for (int i = 0; i < zip.EntryCount() && i < 100; ++i) {
    (void)zip.EntryName(i);
    (void)zip.IsEncrypted(i);
  }
  UnpackBudget budget;
  budget.bytes_left = 1024 * 1024;
  budget.members_left = 200;
  std::vector<fs::path> written;
  std::string error;
  (void)zip.ExtractAll(work / "out", budget, written, error);
  std::size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(work)) {
    if (entry.is_symlink()) std::abort();
    if (entry.is_regular_file() && entry.path() != work / "a.zip") ++files;
  }
  if (files != written.size()) std::abort();
  return 0;
}
