#include "serial/EnumerateSerialPorts.h"

#include "platform/Handle.h"

#include <windows.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mbstring.h>
#include <vector>

namespace {

const DWORD kDeviceListChars = 65535;
// Far beyond any machine seen; a bound so that a call that keeps asking for more ends.
const DWORD kMaxDeviceListChars = 4 * 1024 * 1024;
const int kLastProbedPort = 255;

// The number after "COM" in a device name of nameLength characters, or -1 when the
// name is not a COM port (too short, no "COM" prefix, no digit after it, no int).
int ComPortNumber(const char* name, size_t nameLength)
{
    if (nameLength <= 3) return -1;
    if (_mbsnbicmp(reinterpret_cast<const unsigned char*>(name), reinterpret_cast<const unsigned char*>("COM"), 3) != 0)
        return -1;
    if (!std::isdigit(static_cast<unsigned char>(name[3]))) return -1;
    // Leading digits only ("COM7A" is 7), bounded by the name; a number beyond int names
    // no port that could be opened.
    int value = 0;
    for (size_t i = 3; i < nameLength && std::isdigit(static_cast<unsigned char>(name[i])); ++i) {
        int digit = name[i] - '0';
        if (value > (INT_MAX - digit) / 10) return -1;
        value = value * 10 + digit;
    }
    return value;
}

bool IsNtPlatform()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
#if defined(_MSC_VER)
#pragma warning(suppress : 4996) // deprecated, yet the platform id is all we ask of it
#endif
    if (!GetVersionExA(&version)) return false;
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

} // namespace

void ParseDosDeviceNames(const char* list, size_t length, CUIntArray& ports)
{
    size_t pos = 0;
    while (pos < length && list[pos] != '\0') {
        const char* name = list + pos;
        const void* nul = std::memchr(name, '\0', length - pos);
        size_t nameLength = nul ? static_cast<size_t>(static_cast<const char*>(nul) - name) : length - pos;
        int number = ComPortNumber(name, nameLength);
        if (number >= 0) ports.Add(static_cast<unsigned>(number));
        pos += nameLength + 1;
    }
}

void ListDosDevicePorts(CUIntArray& ports, DosDeviceQuery query)
{
    std::vector<char> names;
    for (DWORD chars = kDeviceListChars; chars <= kMaxDeviceListChars; chars *= 2) {
        names.resize(chars);
        DWORD stored = query(nullptr, names.data(), chars);
        if (stored != 0) {
            ParseDosDeviceNames(names.data(), stored, ports);
            return;
        }
        // Older systems say ERROR_MORE_DATA for the same thing.
        DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER && error != ERROR_MORE_DATA) return;
    }
}

void ProbeSerialPorts(CUIntArray& ports)
{
    for (int n = 1; n <= kLastProbedPort; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "\\\\.\\COM%d", n);
        CHandle port(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (port.IsValid()) {
            ports.Add(static_cast<unsigned>(n));
            continue;
        }
        // In use by another program, or present but not ready: it exists all the same.
        DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED || error == ERROR_GEN_FAILURE) ports.Add(static_cast<unsigned>(n));
    }
}

void EnumerateSerialPorts(CUIntArray& ports)
{
    ports.RemoveAll();
    try {
        if (IsNtPlatform()) {
            ListDosDevicePorts(ports);
        } else {
            ProbeSerialPorts(ports);
        }
    } catch (...) {
        // Out of memory: report what was found so far rather than end the program.
    }
}
