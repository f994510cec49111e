// Boundaries for composed multipart messages: "Mark=_" with the UTC date and time, filled up
// with random characters.
#pragma once

#include <string>

namespace tarnhold {

// Makes a boundary of `length` - 1 characters: "Mark=_" followed by the UTC year, month,
// day, hour, minute, second and millisecond (unpadded), then characters taken at random
// from "A-Za-z0-9+", the whole cut to `length` - 1. 0, or -1 when `length` is below 20 and
// -2 when it is above 70 (`boundary` is then unchanged).
[[nodiscard]] int MakeBoundary(std::string& boundary, int length = 30);

}  // namespace tarnhold
