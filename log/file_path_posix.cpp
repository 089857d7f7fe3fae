#include "log/file_path.h"

std::FILE* OpenFileByPath(const char* path, const char* mode) { return std::fopen(path, mode); }
