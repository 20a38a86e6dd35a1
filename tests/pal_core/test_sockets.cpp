// Windows Sockets over POSIX: start-up, name and address helpers, a UDP
// datagram as the syslog target sends it, and the error codes.
#include "palhost.h"
#include "palwin.h"
#include "udp_receiver.h"

#include <gtest/gtest.h>

namespace {

TEST(Sockets, UdpDatagramToALoopbackReceiver) {
    uint16_t port = 0;
    int rx = OpenLoopbackReceiver(&port);
    ASSERT_GE(rx, 0);

    WSADATA wsa;
    ASSERT_EQ(pal::ws::WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    EXPECT_EQ(wsa.wVersion, MAKEWORD(2, 2));
    EXPECT_EQ(pal::ws::inet_addr("127.0.0.1"), pal::ws::htonl(0x7F000001u));
    EXPECT_EQ(pal::ws::inet_addr("syslog-host"), 0xffffffffu);
    char host[64];
    EXPECT_EQ(pal::ws::gethostname(host, sizeof(host)), 0);
    EXPECT_STREQ(host, "QLHOST");
    EXPECT_EQ(pal::ws::gethostname(host, 3), SOCKET_ERROR);
    EXPECT_EQ(pal::ws::WSAGetLastError(), WSAEFAULT);

    SOCKET s = pal::ws::socket(2 /*AF_INET*/, 2 /*SOCK_DGRAM*/, 17 /*IPPROTO_UDP*/);
    ASSERT_NE(s, static_cast<SOCKET>(~0));
    SOCKADDR_IN to{};
    to.sin_family = 2;
    to.sin_port = port;
    to.sin_addr.S_un.S_addr = pal::ws::inet_addr("127.0.0.1");
    ASSERT_EQ(pal::ws::connect(s, reinterpret_cast<SOCKADDR*>(&to), sizeof(to)), 0);
    EXPECT_EQ(pal::ws::send(s, "<14>hello", 9, 0), 9);
    char got[32] = {};
    EXPECT_EQ(ReceiveDatagram(rx, got, sizeof(got)), 9);
    EXPECT_STREQ(got, "<14>hello");
    EXPECT_EQ(pal::ws::closesocket(s), 0);
    EXPECT_EQ(pal::ws::closesocket(s), SOCKET_ERROR);
    EXPECT_EQ(pal::ws::WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(pal::ws::WSACleanup(), 0);
    CloseReceiver(rx);

    // Without WSAStartup, as on Windows, nothing works.
    EXPECT_EQ(pal::ws::socket(2, 2, 17), static_cast<SOCKET>(~0));
    EXPECT_EQ(pal::ws::WSAGetLastError(), WSANOTINITIALISED);
}

} // namespace
