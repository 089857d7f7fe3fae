// Paths and text between the program (UTF-8) and Windows (UTF-16): every path the program hands
// to the system goes through here, so that a folder named in any script opens, and a long path
// opens whole or not at all.
#pragma once

#include <string>
#include <string_view>

// False when the text is not valid UTF-8 (nothing is guessed or replaced).
bool WideFromUtf8(std::string_view text, std::wstring* wide);
// False when the text holds a lone surrogate, which no UTF-8 can stand for.
bool Utf8FromWide(std::wstring_view wide, std::string* text);

// The path in the form the file functions take whole: one too long for the classic limit gets
// the "\\?\" form of its full path (those functions then neither cut nor parse it); a shorter one,
// a device name or one already in that form is left as it is.
std::wstring SystemPath(const std::wstring& path);

// Both steps at once; false when the path is not valid UTF-8.
bool SystemPathFromUtf8(const char* path, std::wstring* system_path);
