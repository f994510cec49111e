#include "tests/support/temp_root.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace tarnhold::test {

TempRoot::TempRoot() {
  std::string tmpl = (fs::temp_directory_path() / "thtest.XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempRoot::~TempRoot() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

fs::path TempRoot::Write(std::string_view rel, std::string_view content) const {
  fs::path p = path_ / rel;
  fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return p;
}

std::string TempRoot::Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

fs::path DataFile(std::string_view name) { return fs::path(TH_TEST_DATA_DIR) / name; }

}  // namespace tarnhold::test
