// Builds ZIP archives for tests with libzip.
#pragma once

#include <zip.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_root.h"

namespace tarnhold::test {

using ZipMembers = std::vector<std::pair<std::string, std::string>>;

inline std::string MakeZip(const ZipMembers& members) {
  TempRoot root;
  auto path = root / "made.zip";
  int error = 0;
  zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (!z) return "";
  for (const auto& [name, data] : members) {
    zip_source_t* source = zip_source_buffer(z, data.data(), data.size(), 0);
    zip_file_add(z, name.c_str(), source, 0);
  }
  zip_close(z);
  return TempRoot::Read(path);
}

}  // namespace tarnhold::test
