// Room for a file path in the dialog and the log window: the longest path the system takes (32767
// UTF-16 units) in UTF-8, at most three bytes a unit, and the terminator, so that no path that can
// be opened is ever cut to fit.
#pragma once

#include <cstddef>

inline constexpr std::size_t kPathCapacity = 3 * 32767 + 1;
