// The off-peak window test. The window is read as one that runs over midnight: a time of day
// is inside when it is later than the start or earlier than the end, so the start and the end
// minute themselves are outside, and a window whose start lies before its end on the same day
// covers every time of day.
#pragma once

namespace tarnhold {

// 1 when `hour`:`minute` lies in the window from `from_hh`:`from_mm` to `to_hh`:`to_mm`,
// else 0.
[[nodiscard]] int IsOffPeakAt(int hour, int minute, int from_hh, int from_mm, int to_hh, int to_mm);

// The same for the current local time.
[[nodiscard]] int IsOffPeakNow(int from_hh, int from_mm, int to_hh, int to_mm);

}  // namespace tarnhold
