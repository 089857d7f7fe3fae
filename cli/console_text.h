// Text from the program (UTF-8) onto a standard stream.
#pragma once

#include <cstdio>
#include <string_view>

// Writes the text to the stream; false when it could not be written whole (errno says why). On
// Windows a console is given the text as wide characters, so a path or a description shows as it
// was typed whatever the console's code page; a file or a pipe gets the UTF-8 bytes.
bool WriteStreamText(std::FILE* stream, std::string_view text);
