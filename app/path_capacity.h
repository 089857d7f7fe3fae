// Room for a file path in the dialog and the log window: MAX_PATH, so that a path the system's
// file dialogs return always fits.
#pragma once

#include <cstddef>

inline constexpr std::size_t kPathCapacity = 260; // 259 characters and the terminator
