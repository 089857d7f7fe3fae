// Win32 helpers of the dialog: window placement, the program's version record, the open-file
// dialog.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "update/outcome.h"

// Moves the window, keeping size, z-order and activation, so that its centre lies on the
// centre of the reference window (the desktop when none is given).
void CenterWindow(HWND window, HWND reference);

// True when the file has a version record. Each output is written only when asked for.
bool GetFileVersionNumbers(const char* path, std::uint32_t* major, std::uint32_t* minor, std::uint32_t* build,
                           std::uint32_t* revision);

// "%i.%.2i.%.4i.%.2i" of the file's version numbers; false when it has no version record.
bool GetBuildString(const char* path, char* buffer, std::size_t capacity);

// The platform's open-file dialog; true when the user chose a file, which is then in the buffer.
bool BrowseForFile(HWND owner, char* buffer, std::size_t capacity, const char* title, const char* filter,
                   const char* default_extension);

// Full path of the program's own executable, terminated (empty when it cannot be had).
void OwnExecutablePath(char* buffer, std::size_t capacity);

// The MessageBoxA flag of an icon.
UINT MessageBoxIconFlag(MessageIcon icon);
