#include "udp_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

UdpReceiver::~UdpReceiver() {
    if (m_fd >= 0)
        close(m_fd);
}

bool UdpReceiver::Bind(unsigned short port) {
    m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (m_fd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(m_fd);
        m_fd = -1;
        return false;
    }
    return true;
}

std::optional<std::string> UdpReceiver::Receive(int timeoutMs) {
    pollfd pfd{m_fd, POLLIN, 0};
    if (m_fd < 0 || poll(&pfd, 1, timeoutMs) != 1)
        return std::nullopt;
    char buf[4096];
    ssize_t n = recv(m_fd, buf, sizeof(buf), 0);
    if (n < 0)
        return std::nullopt;
    return std::string(buf, static_cast<size_t>(n));
}
