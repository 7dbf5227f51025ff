#include "Numbers.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

bool ParseNumber(const std::string& text, std::uint32_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
    value = static_cast<std::uint32_t>(v);
    return true;
}

std::string Hex(std::uint32_t value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
    return buf;
}
