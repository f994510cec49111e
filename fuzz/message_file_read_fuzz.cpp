// CGatewayMessageFile::Read on an arbitrary queue item (the first byte chooses queue item
// or plain message): whatever it holds, every file it saves lies inside its own temporary
// folder, and Release leaves nothing behind.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "message/gateway_message_file.h"

using namespace tarnhold;
namespace fs = std::filesystem;

namespace {

const fs::path& WorkFolder() {
  static const fs::path folder = [] {
    const char* tmp = std::getenv("TMPDIR");
    fs::path f =
        fs::path(tmp && *tmp ? tmp : "/tmp") / ("thfuzz-item-" + std::to_string(::getpid()));
    fs::create_directories(f / "temp");
    return f;
  }();
  return folder;
}

bool Inside(const fs::path& path, const fs::path& folder) {
  auto rel = fs::weakly_canonical(path).lexically_relative(fs::weakly_canonical(folder));
  return !rel.empty() && *rel.begin() != "..";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const fs::path item = WorkFolder() / "item";
  {
    std::ofstream out(item, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
  }
  CGatewayMessageFile message(WorkFolder() / "temp");
  UnpackBudget small;
  small.bytes_left = 4 * 1024 * 1024;
  message.SetUnpackLimits(small);
  int rc = message.Read(item, data[0] & 1 ? ItemFormat::PlainMessage : ItemFormat::QueueItem);
  if (rc == 0) {
    for (const auto& path : message.Attachments()) {
      if (!Inside(path, message.TempFolder())) std::abort();
    }
  }
  message.Release();
  if (!fs::is_empty(WorkFolder() / "temp")) std::abort();
  return 0;
}
