#include "message/uu_file_list.h"

#include "message/file_sources.h"
#include "message/uuencode.h"
#include "platform/data_root.h"

namespace tarnhold {

int CUuFileList::AddFile(const std::filesystem::path& path) {
  CFileSource probe(path);
  if (probe.Open(kOpenRead) != 0) return -1;
  probe.Close();
  paths_.push_back(path);
  return 0;
}

int CUuFileList::WriteAll(const std::filesystem::path& output) {
  if (paths_.empty()) return -1;
  CFileSource out(output);
  if (out.Open(kOpenWrite) != 0) return -2;
  for (const auto& path : paths_) {
    CFileSource in(path);
    if (in.Open(kOpenRead) != 0) continue;
    std::string name(LastPathElement(path.string()));
    // A failed write makes the output's close fail, which is reported below.
    (void)WriteUuBlock(in, name, out);
    in.Close();
  }
  return out.Close() == 0 ? 0 : -3;
}

}  // namespace tarnhold
