#include "service/OutputString.h"

#include <cctype>

#include "service/Ipv4.h"

namespace {

const char kPortRange[] = "the port must be a number from 1 to 65535";

std::string Lower(std::string s)
{
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string> Words(const std::string& text)
{
    std::vector<std::string> words;
    size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
        const size_t start = at;
        while (at < text.size() && text[at] != ' ' && text[at] != '\t') ++at;
        if (at > start) words.push_back(text.substr(start, at - start));
    }
    return words;
}

bool ParsePort(const std::string& text, uint16_t& port)
{
    if (text.empty() || text.size() > 5) return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value < 1 || value > 65535) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

bool AllDigitsAndDots(const std::string& s)
{
    for (char c : s)
        if (!(c == '.' || (c >= '0' && c <= '9'))) return false;
    return true;
}

// A host name as DNS or NetBIOS knows one: letters, digits, '-' and '.', no empty label; one
// made of digits and dots alone must be an IPv4 address.
bool CheckHost(const std::string& host, std::string& why)
{
    if (host.empty()) {
        why = "the address before the port is missing";
        return false;
    }
    if (AllDigitsAndDots(host)) {
        uint32_t address = 0;
        if (ParseIpv4(host, address)) return true;
        why = host + " is not an IPv4 address";
        return false;
    }
    bool ok = host.size() <= 253 && host.front() != '.' && host.back() != '.' && host.find("..") == std::string::npos;
    for (char c : host)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.')) ok = false;
    if (!ok) why = "\"" + host + "\" is not a host name or an IPv4 address";
    return ok;
}

bool ParseHostPort(const std::string& kind, const std::string& word, OutputDefinition& definition, std::string& why)
{
    const size_t colon = word.rfind(':');
    if (colon == std::string::npos) {
        why = kind + " needs HOST:PORT, such as " + kind + " 192.168.1.20:9100";
        return false;
    }
    if (!CheckHost(word.substr(0, colon), why)) return false;
    if (!ParsePort(word.substr(colon + 1), definition.port)) {
        why = kPortRange;
        return false;
    }
    definition.host = word.substr(0, colon);
    return true;
}

bool ParseFrom(const std::string& list, std::vector<uint32_t>& from, std::string& why)
{
    size_t at = 0;
    for (;;) {
        const size_t comma = list.find(',', at);
        const std::string item = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        uint32_t address = 0;
        if (item.empty()) {
            why = "from needs IPv4 addresses separated by commas";
            return false;
        }
        if (!ParseIpv4(item, address)) {
            why = "from takes IPv4 addresses: " + item + " is not one";
            return false;
        }
        from.push_back(address);
        if (comma == std::string::npos) return true;
        at = comma + 1;
    }
}

} // namespace

bool operator==(const OutputDefinition& a, const OutputDefinition& b)
{
    return a.kind == b.kind && a.host == b.host && a.port == b.port && a.from == b.from && a.text == b.text &&
           a.name == b.name;
}

bool ParseOutput(const std::string& text, OutputDefinition& definition, std::string& why)
{
    std::vector<std::string> words = Words(text);
    if (words.empty()) {
        why = "the output is empty";
        return false;
    }
    OutputDefinition out;
    const size_t first = text.find_first_not_of(" \t");
    out.name = text.substr(first, text.find_last_not_of(" \t") - first + 1);
    const std::string kind = Lower(words[0]);
    if (kind == "listen")
        out.kind = OutputKind::Listen;
    else if (kind == "connect")
        out.kind = OutputKind::Connect;
    else if (kind == "udp")
        out.kind = OutputKind::Udp;
    else {
        why = "unknown kind \"" + words[0] + "\": an output starts with listen, connect or udp";
        return false;
    }
    if (words.size() < 2) {
        why = kind + (out.kind == OutputKind::Listen ? " needs a port" : " needs HOST:PORT");
        return false;
    }
    if (out.kind == OutputKind::Listen) {
        if (words[1].find(':') != std::string::npos || words[1].find('.') != std::string::npos) {
            why = "listen takes a port, not an address";
            return false;
        }
        if (!ParsePort(words[1], out.port)) {
            why = kPortRange;
            return false;
        }
    } else if (!ParseHostPort(kind, words[1], out, why)) {
        return false;
    }

    bool sawFrom = false;
    for (size_t i = 2; i < words.size(); ++i) {
        const std::string word = Lower(words[i]);
        if (word == "text" && !out.text) {
            out.text = true;
        } else if (word == "from" && !sawFrom) {
            if (out.kind != OutputKind::Listen) {
                why = "from is for listen outputs only";
                return false;
            }
            sawFrom = true;
            // "from a, b" as well as "from a,b": a word ending in a comma goes on in the next.
            std::string list;
            while (++i < words.size()) {
                list += words[i];
                if (list.back() != ',') break;
            }
            if (list.empty()) {
                why = "from needs at least one IPv4 address";
                return false;
            }
            if (!ParseFrom(list, out.from, why)) return false;
        } else if (word == "text" || word == "from") {
            why = "\"" + words[i] + "\" is given twice";
            return false;
        } else {
            why = "unknown word \"" + words[i] + "\"";
            return false;
        }
    }
    definition = out;
    return true;
}
