#pragma once

#include <string>
#include <string_view>

namespace tavo::flash {

// `text` as a JSON string, quotes included. A byte that is no part of valid UTF-8 (a path in
// another encoding, noise from a board) becomes the escape of the lone surrogate U+DC80..U+DCFF
// for byte 0x80..0xFF: a name keeps its exact bytes, two names stay apart, and a reader gets the
// bytes back by encoding the text as UTF-8 with surrogate escapes. Valid UTF-8 never holds a
// surrogate, so the escape cannot be mistaken for text.
std::string JsonString(std::string_view text);

// Builds one JSON object with its members in the order they are added.
class JsonObject {
public:
    JsonObject& text(std::string_view key, std::string_view value);
    JsonObject& integer(std::string_view key, long long value);
    JsonObject& real(std::string_view key, double value, int decimals);
    JsonObject& null(std::string_view key);
    // A value that is JSON already (an object, an array).
    JsonObject& raw(std::string_view key, std::string_view json);

    std::string str() const { return "{" + body_ + "}"; }

private:
    void key(std::string_view key);
    std::string body_;
};

// "[a,b,c]" from values that are JSON already.
template <class Range> std::string JsonArray(const Range& values) {
    std::string text = "[";
    for (const auto& value : values) {
        if (text.size() > 1)
            text += ',';
        text += value;
    }
    return text + "]";
}

} // namespace tavo::flash
