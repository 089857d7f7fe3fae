#include "cli/json.h"

#include <cstdio>

namespace {

// Length of the UTF-8 sequence at text[i], or 0 when it is not a well-formed one.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07u;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0u) != 0x80u)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3Fu);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return length;
}

} // namespace

std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const std::size_t length = Utf8SequenceLength(text, i);
            if (length == 0) {
                out += "\\ufffd";
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
