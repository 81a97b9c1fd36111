#pragma once
// One network output of a lane, as a string of the lane's Outputs value (REG_MULTI_SZ):
//   listen PORT [from ADDRESS[,ADDRESS...]] [text]   recorders connect to this PC (4 at once)
//   connect HOST:PORT [text]                          the collector connects to the recorder
//   udp HOST:PORT [text]                              datagrams to the recorder
// Words are separated by spaces or tabs; keywords in any case. HOST is an IPv4 address or a
// name, resolved when the output starts (and again at each reconnect); ADDRESS an IPv4 address.
// "text": what a person reads on the receipt, as UTF-8 lines; raw bytes otherwise.
#include <cstdint>
#include <string>
#include <vector>

enum class OutputKind { Listen, Connect, Udp };

struct OutputDefinition {
    OutputKind kind = OutputKind::Listen;
    std::string host;             // connect, udp
    uint16_t port = 0;            // 1 to 65535
    std::vector<uint32_t> from;   // listen: the only peers allowed (network order); empty: any
    bool text = false;
    // How the registry holds it, spaces trimmed: messages and events name the output by it.
    std::string name;
};
bool operator==(const OutputDefinition& a, const OutputDefinition& b);
inline bool operator!=(const OutputDefinition& a, const OutputDefinition& b) { return !(a == b); }

// False with why in plain words ("the port must be a number from 1 to 65535") when the string
// cannot be read.
bool ParseOutput(const std::string& text, OutputDefinition& definition, std::string& why);
