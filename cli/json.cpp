#include "cli/json.h"

#include <cstdio>

#include "cli/shown_text.h"

std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const std::size_t length = Utf8SequenceLength(text, i);
            if (length == 0) {
                // Not UTF-8: the byte as the terminal output shows it, so the text stays valid JSON
                // and the byte can still be told from any other.
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\\\x%02X", c);
                out += escape;
                ++i;
            } else {
                out.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    out += '"';
    return out;
}

void JsonObject::key(std::string_view name)
{
    if (!members_.empty())
        members_ += ", ";
    members_ += JsonString(name);
    members_ += ": ";
}

JsonObject& JsonObject::add(std::string_view name, std::string_view value)
{
    key(name);
    members_ += JsonString(value);
    return *this;
}

JsonObject& JsonObject::add(std::string_view name, const char* value)
{
    key(name);
    members_ += value != nullptr ? JsonString(value) : "null";
    return *this;
}

JsonObject& JsonObject::add(std::string_view name, std::int64_t value)
{
    key(name);
    members_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::add_bool(std::string_view name, bool value)
{
    key(name);
    members_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::add_fixed(std::string_view name, double value, int decimals)
{
    key(name);
    char text[64];
    // JSON has no NaN or infinity.
    if (!(value > -1e15 && value < 1e15))
        value = 0;
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    members_ += text;
    return *this;
}

JsonObject& JsonObject::add_json(std::string_view name, std::string_view json)
{
    key(name);
    members_ += json;
    return *this;
}
