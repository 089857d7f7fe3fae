#include "cli/console_text.h"

bool WriteStreamText(std::FILE* stream, std::string_view text)
{
    return std::fwrite(text.data(), 1, text.size(), stream) == text.size();
}
