#include "Json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace json {

namespace {

// The length of the well-formed UTF-8 sequence at s[i], or 0.
std::size_t Utf8Length(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned c = b(i);
    std::size_t n = 0;
    unsigned lo = 0x80, hi = 0xBF;  // the second byte's range
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else return 0;
    if (i + n > s.size() || b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
    return n;
}

// A JSON string of s. A byte that is not part of well-formed UTF-8 (a file
// name in another encoding) becomes U+FFFD, so the line stays valid JSON.
void Quote(std::string& out, std::string_view s) {
    out += '"';
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (static_cast<unsigned char>(c) >= 0x80) {
            if (const std::size_t n = Utf8Length(s, i); n > 0) {
                out.append(s.substr(i, n));
                i += n - 1;
            } else {
                out += "\\uFFFD";
            }
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

// Where the value of key starts, or npos.
std::size_t ValueAt(std::string_view line, std::string_view key) {
    std::string pattern;
    Quote(pattern, key);
    pattern += ':';
    const auto at = line.find(pattern);
    return at == std::string_view::npos ? at : at + pattern.size();
}

}  // namespace

void Object::Key(std::string_view key) {
    if (text_.size() > 1) text_ += ',';
    Quote(text_, key);
    text_ += ':';
}

Object& Object::Str(std::string_view key, std::string_view value) {
    Key(key);
    Quote(text_, value);
    return *this;
}

Object& Object::Num(std::string_view key, double value) {
    Key(key);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", std::isfinite(value) ? value : 0.0);
    text_ += buf;
    return *this;
}

Object& Object::Int(std::string_view key, long long value) {
    Key(key);
    text_ += std::to_string(value);
    return *this;
}

Object& Object::Bool(std::string_view key, bool value) {
    Key(key);
    text_ += value ? "true" : "false";
    return *this;
}

std::string GetString(std::string_view line, std::string_view key) {
    std::size_t i = ValueAt(line, key);
    std::string out;
    if (i == std::string_view::npos || i >= line.size() || line[i] != '"') return out;
    for (++i; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] != '\\' || i + 1 >= line.size()) {
            out += line[i];
            continue;
        }
        const char e = line[++i];
        if (e == 'n') out += '\n';
        else if (e == 'r') out += '\r';
        else if (e == 't') out += '\t';
        else if (e == 'u' && i + 4 < line.size()) {
            out += static_cast<char>(std::strtol(std::string(line.substr(i + 1, 4)).c_str(), nullptr, 16));
            i += 4;
        } else out += e;
    }
    return out;
}

double GetNumber(std::string_view line, std::string_view key, double fallback) {
    const std::size_t i = ValueAt(line, key);
    if (i == std::string_view::npos) return fallback;
    const std::string rest(line.substr(i, 32));
    char* end = nullptr;
    const double v = std::strtod(rest.c_str(), &end);
    return end == rest.c_str() ? fallback : v;
}

}  // namespace json
