#pragma once
// Winsock for the network outputs: the library held open while a user of it lives, a socket
// owned by one object, and a name looked up off the caller's thread.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

// WSAStartup for as long as it lives; the system counts the users, so each owner holds one.
class CWinsockUser {
public:
    CWinsockUser();
    ~CWinsockUser();
    CWinsockUser(const CWinsockUser&) = delete;
    CWinsockUser& operator=(const CWinsockUser&) = delete;
    // 0, or why Winsock could not be had.
    int Error() const { return m_error; }

private:
    int m_error = 0;
};

// Owns a socket; closing it ends whatever waits on it.
class CSocket {
public:
    CSocket() = default;
    explicit CSocket(SOCKET s) : m_s(s) {}
    ~CSocket() { Close(); }
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;
    CSocket(CSocket&& other) noexcept : m_s(other.Detach()) {}
    CSocket& operator=(CSocket&& other) noexcept
    {
        if (this != &other) {
            Close();
            m_s = other.Detach();
        }
        return *this;
    }

    bool IsValid() const { return m_s != INVALID_SOCKET; }
    SOCKET Get() const { return m_s; }
    SOCKET Detach()
    {
        SOCKET s = m_s;
        m_s = INVALID_SOCKET;
        return s;
    }
    void Close()
    {
        if (m_s != INVALID_SOCKET) ::closesocket(m_s);
        m_s = INVALID_SOCKET;
    }

private:
    SOCKET m_s = INVALID_SOCKET;
};

// "the connection was refused" and such: the system's text for a Winsock error.
std::string SocketErrorText(int error);

// "192.168.1.20:4000".
std::string EndpointText(const sockaddr_in& address);
// An IPv4 address (network order) and a port, as connect and sendto take them.
sockaddr_in Ipv4Endpoint(uint32_t address, uint16_t port);

// Looks up a host's IPv4 address on a thread of its own: a lookup can take many seconds, and
// whoever stops waiting for it simply leaves it to end by itself.
class CNameLookup {
public:
    explicit CNameLookup(const std::string& host);
    CNameLookup(const CNameLookup&) = delete;
    CNameLookup& operator=(const CNameLookup&) = delete;

    // Signalled when the answer is in.
    HANDLE Done() const;
    // After Done: true with the address (network order), or false with the Winsock error.
    bool Result(uint32_t& address, int& error) const;

private:
    struct Shared;
    static unsigned __stdcall ThreadProc(void* param);
    std::shared_ptr<Shared> m_shared;
};
