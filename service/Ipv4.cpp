#include "service/Ipv4.h"

bool ParseIpv4(const std::string& text, uint32_t& address)
{
    unsigned char parts[4] = {};
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (at >= text.size() || text[at] != '.') return false;
            ++at;
        }
        const size_t start = at;
        unsigned value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 3) {
            value = value * 10 + static_cast<unsigned>(text[at] - '0');
            ++at;
        }
        const size_t digits = at - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
        parts[i] = static_cast<unsigned char>(value);
    }
    if (at != text.size()) return false;
    // Network order is the order the parts are written in.
    uint32_t n = 0;
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&n);
    for (int i = 0; i < 4; ++i) bytes[i] = parts[i];
    address = n;
    return true;
}

std::string Ipv4Text(uint32_t address)
{
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&address);
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "." +
           std::to_string(bytes[3]);
}
