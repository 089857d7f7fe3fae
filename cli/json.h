// A small JSON object writer for the updater's machine-readable output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The text as a JSON string literal: quotes, backslashes and control characters escaped; a byte
// that is not part of well-formed UTF-8 (a POSIX path or a device may hold any) becomes the four
// characters \xNN, as the text output shows it, so the output is always valid UTF-8 JSON.
std::string JsonString(std::string_view text);

// One flat object, members in the order added.
class JsonObject {
public:
    JsonObject& add(std::string_view key, std::string_view value);
    JsonObject& add(std::string_view key, const char* value); // null when value is null
    JsonObject& add(std::string_view key, std::int64_t value);
    JsonObject& add_bool(std::string_view key, bool value);
    // A number with a fixed count of decimals (seconds to the millisecond: 3).
    JsonObject& add_fixed(std::string_view key, double value, int decimals);
    // A value that is JSON already: an array, an object, null.
    JsonObject& add_json(std::string_view key, std::string_view json);
    std::string text() const { return "{" + members_ + "}"; }

private:
    void key(std::string_view name);
    std::string members_;
};
