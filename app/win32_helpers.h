// Win32 helpers of the dialog: window placement, the program's version record, the open-file
// dialog.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "update/outcome.h"

// Moves the window, keeping size, z-order and activation, so that its centre lies on the
// centre of the reference window (the desktop when none is given).
void CenterWindow(HWND window, HWND reference);

// True when the file (a UTF-8 path) has a version record. Each output is written only when asked for.
bool GetFileVersionNumbers(const char* path, std::uint32_t* major, std::uint32_t* minor, std::uint32_t* build,
                           std::uint32_t* revision);

// "%i.%.2i.%.4i.%.2i" of the file's version numbers; false when it has no version record.
bool GetBuildString(const char* path, char* buffer, std::size_t capacity);

// The outcome of a file dialog.
enum class FileChoice {
    chosen,    // the path, whole, in UTF-8
    cancelled, // or the dialog could not be shown
    unusable,  // a name no UTF-8 can hold (a lone surrogate) or longer than the caller takes
};

// The platform's open-file dialog (wide, so a name in any script comes back as chosen). The
// filter and titles are the 8-bit texts of the program, ASCII.
FileChoice BrowseForFile(HWND owner, std::string* path, std::size_t capacity, const char* title,
                         const char* filter, const char* default_extension);

// The save-file dialog, likewise.
FileChoice ChooseSaveFile(HWND owner, std::string* path, std::size_t capacity, const char* title,
                          const char* filter, const char* default_extension);

// Full path of the program's own executable in UTF-8 (empty when it cannot be had whole).
std::string OwnExecutablePath();

// The text of a window as UTF-8, whole; false when it cannot be read as such.
bool WindowTextUtf8(HWND window, std::string* text);
// Sets the text of a window from UTF-8; false when it is not valid UTF-8 (the window keeps its text).
bool SetWindowTextUtf8(HWND window, const char* text);
// A message box whose text and caption are UTF-8.
int MessageBoxUtf8(HWND owner, const char* text, const char* caption, UINT flags);

// The scale a window is drawn at, in dots per inch (96 is 100 %): the window's own where the
// system knows per-monitor scales, else the system's.
UINT WindowDpi(HWND window);
// A length given for 100 % at that scale.
int ScaleForDpi(int length, UINT dpi);
// Fonts for that scale, the caller's to delete: the system's message font (buttons, labels) and
// a fixed-pitch one (text in columns).
HFONT CreateMessageFont(UINT dpi);
HFONT CreateFixedFont(UINT dpi);

// The MessageBoxA flag of an icon.
UINT MessageBoxIconFlag(MessageIcon icon);
