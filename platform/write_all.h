// Writing a whole buffer to a descriptor: short writes are continued and interrupted ones
// made again, so a caller sees only "all written" or "failed".
#pragma once

#include <string_view>

namespace tarnhold {

// Writes every byte of `bytes` to `fd` at its current position. False on an error or a write
// that makes no progress; errno then tells why, and part of `bytes` may have been written.
[[nodiscard]] bool WriteAll(int fd, std::string_view bytes);

}  // namespace tarnhold
