#pragma once
// IPv4 addresses as text: read by hand (InetPtonA is newer than Windows 7's floor for our
// build, and inet_addr takes "1" or "0x7f.1" as addresses, which a person never means).
#include <cstdint>
#include <string>

// "192.168.1.20" to the address in network order. Four decimal parts 0 to 255, no leading
// zeros (010 reads as octal elsewhere), nothing else.
bool ParseIpv4(const std::string& text, uint32_t& address);
// The address (network order) as "192.168.1.20".
std::string Ipv4Text(uint32_t address);
