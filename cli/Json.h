#pragma once
// The one-line JSON objects of --json: written by every command, read back
// by the several-boards mode from its children. Only what we write is read.
#include <cstdint>
#include <string>
#include <string_view>

namespace json {

// One object, built field by field: Object().Str("event", "status").Text().
class Object {
public:
    Object& Str(std::string_view key, std::string_view value);
    Object& Num(std::string_view key, double value);
    Object& Int(std::string_view key, long long value);
    Object& Bool(std::string_view key, bool value);
    // The object as one line, without the line feed.
    std::string Text() const { return text_ + "}"; }

private:
    void Key(std::string_view key);
    std::string text_ = "{";
};

// The string or number stored under key in a line that Object wrote; empty
// or the fallback when the key is not there.
std::string GetString(std::string_view line, std::string_view key);
double GetNumber(std::string_view line, std::string_view key, double fallback);

}  // namespace json
