#include "udp_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

int OpenLoopbackReceiver(uint16_t* portNetworkOrder) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        return -1;
    }
    *portNetworkOrder = addr.sin_port;
    return fd;
}

int ReceiveDatagram(int fd, char* buf, size_t size) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1) return -1;
    return static_cast<int>(recv(fd, buf, size, 0));
}

void CloseReceiver(int fd) { close(fd); }
