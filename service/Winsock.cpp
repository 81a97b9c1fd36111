#include "service/Winsock.h"

#include <process.h>

#include "platform/EventText.h"
#include "platform/Handle.h"
#include "service/Ipv4.h"

CWinsockUser::CWinsockUser()
{
    WSADATA data;
    m_error = ::WSAStartup(MAKEWORD(2, 2), &data);
}

CWinsockUser::~CWinsockUser()
{
    if (m_error == 0) ::WSACleanup();
}

std::string SocketErrorText(int error)
{
    return SystemErrorText(static_cast<DWORD>(error)).GetString();
}

sockaddr_in Ipv4Endpoint(uint32_t address, uint16_t port)
{
    sockaddr_in endpoint = {};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    endpoint.sin_addr.s_addr = address;
    return endpoint;
}

std::string EndpointText(const sockaddr_in& address)
{
    return Ipv4Text(address.sin_addr.s_addr) + ":" + std::to_string(ntohs(address.sin_port));
}

struct CNameLookup::Shared {
    CWinsockUser winsock; // the lookup may outlive every other user
    std::string host;
    CHandle done{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    uint32_t address = 0;
    int error = 0;
};

CNameLookup::CNameLookup(const std::string& host) : m_shared(std::make_shared<Shared>())
{
    m_shared->host = host;
    auto* param = new std::shared_ptr<Shared>(m_shared);
    unsigned id = 0;
    const uintptr_t thread = _beginthreadex(nullptr, 0, &CNameLookup::ThreadProc, param, 0, &id);
    if (thread == 0) {
        delete param;
        m_shared->error = WSA_NOT_ENOUGH_MEMORY;
        ::SetEvent(m_shared->done);
        return;
    }
    // Nobody waits for the thread itself: it ends when the lookup does.
    ::CloseHandle(reinterpret_cast<HANDLE>(thread));
}

HANDLE CNameLookup::Done() const
{
    return m_shared->done;
}

bool CNameLookup::Result(uint32_t& address, int& error) const
{
    address = m_shared->address;
    error = m_shared->error;
    return error == 0;
}

unsigned __stdcall CNameLookup::ThreadProc(void* param)
{
    std::unique_ptr<std::shared_ptr<Shared>> owner(static_cast<std::shared_ptr<Shared>*>(param));
    Shared& shared = **owner;
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int error = shared.winsock.Error();
    if (error == 0) error = ::getaddrinfo(shared.host.c_str(), nullptr, &hints, &found);
    if (error == 0) {
        error = WSAHOST_NOT_FOUND;
        for (addrinfo* a = found; a; a = a->ai_next) {
            if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
                shared.address = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
                error = 0;
                break;
            }
        }
        ::freeaddrinfo(found);
    }
    shared.error = error;
    ::SetEvent(shared.done);
    return 0;
}
