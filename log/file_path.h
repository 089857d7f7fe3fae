// Files named by a path as the program holds it: UTF-8 text, whatever the system's own code page.
#pragma once

#include <cstdio>

// std::fopen of a UTF-8 path. On Windows the path crosses into the system as wide text, in the
// form that opens it whole at any length; null when it cannot be opened (errno says why).
std::FILE* OpenFileByPath(const char* path, const char* mode);
