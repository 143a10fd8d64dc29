#include "cli/Json.h"

#include <charconv>
#include <cstdio>

namespace tavo::flash {

namespace {

// Length of the valid UTF-8 sequence at `at`, or 0.
std::size_t Utf8Length(std::string_view text, std::size_t at) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    std::size_t length = lead >= 0xF0 && lead <= 0xF4   ? 4
                         : lead >= 0xE0                 ? 3
                         : lead >= 0xC2 && lead <= 0xDF ? 2
                                                        : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
    unsigned char second = byte(at + 1);
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

} // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            auto length = Utf8Length(text, i);
            if (length == 0) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\udc%02x", c);
                out += escaped;
                ++i;
            } else {
                out.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    return out + "\"";
}

void JsonObject::key(std::string_view key) {
    if (!body_.empty())
        body_ += ',';
    body_ += JsonString(key);
    body_ += ':';
}

JsonObject& JsonObject::text(std::string_view key, std::string_view value) {
    return raw(key, JsonString(value));
}

JsonObject& JsonObject::integer(std::string_view key, long long value) {
    return raw(key, std::to_string(value));
}

JsonObject& JsonObject::real(std::string_view key, double value, int decimals) {
    // Not printf: Qt sets the locale from the environment, and JSON wants a point.
    char text[64];
    auto [end, ec] =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    return ec == std::errc() ? raw(key, std::string_view(text, end - text)) : null(key);
}

JsonObject& JsonObject::null(std::string_view key) {
    return raw(key, "null");
}

JsonObject& JsonObject::raw(std::string_view key, std::string_view json) {
    this->key(key);
    body_ += json;
    return *this;
}

} // namespace tavo::flash
