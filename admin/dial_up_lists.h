// The Dialling page's two lists on Linux: the dial-up connections are the files of the ppp
// peers folder (what "pon <entry>" dials), the modems the serial devices (ttyS*, ttyUSB*,
// ttyACM*) of the devices folder. A folder that cannot be read gives an empty list.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tarnhold {

// Names of the regular files in `peers_folder`, sorted.
[[nodiscard]] std::vector<std::string> ListDialEntries(const std::filesystem::path& peers_folder);
// Full paths of the serial devices in `devices_folder`, sorted.
[[nodiscard]] std::vector<std::string> ListModems(const std::filesystem::path& devices_folder);

}  // namespace tarnhold
