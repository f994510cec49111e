#include "apps/thgate/window_loader.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>

namespace tarnhold {
namespace {

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

}  // namespace

bool DisplayAvailable() {
  return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY") || IsSet("QT_QPA_PLATFORM");
}

RunWindowEntry LoadWindowPlugin(std::string& error) {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    error = "cannot find the program's folder: " + ec.message();
    return nullptr;
  }
  // Beside thgate in a build tree; in lib/tarnhold beside bin/ when installed.
  std::filesystem::path plugin = self.parent_path() / kWindowPluginName;
  const std::filesystem::path installed =
      self.parent_path().parent_path() / "lib" / "tarnhold" / kWindowPluginName;
  if (!std::filesystem::exists(plugin, ec) && std::filesystem::exists(installed, ec))
    plugin = installed;
  // Never unloaded: Qt does not take being unloaded from a running process well.
  void* handle = ::dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    error = why != nullptr ? why : ("cannot load " + plugin.string());
    return nullptr;
  }
  void* entry = ::dlsym(handle, kRunWindowSymbol);
  if (entry == nullptr) {
    error = plugin.string() + " has no entry point " + kRunWindowSymbol;
    return nullptr;
  }
  return reinterpret_cast<RunWindowEntry>(entry);
}

}  // namespace tarnhold
