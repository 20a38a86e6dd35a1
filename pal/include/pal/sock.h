// Windows Sockets subset for the Linux build, over POSIX sockets. The names
// live in namespace pal::ws (so they do not collide with the C library's
// socket functions of the same names) and are brought into the global
// namespace for product code.
#pragma once
#include "pal/types.h"

typedef UINT_PTR SOCKET;
#define INVALID_SOCKET ((SOCKET)(~0))
#define SOCKET_ERROR (-1)
#define AF_INET 2
#define SOCK_STREAM 1
#define SOCK_DGRAM 2
#define IPPROTO_UDP 17
#define INADDR_NONE 0xffffffffu
#define WSAEINTR 10004
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAENOTSOCK 10038
#define WSAEMSGSIZE 10040
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETUNREACH 10051
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAEHOSTUNREACH 10065
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093
#define WSAHOST_NOT_FOUND 11001
#define WSANO_DATA 11004
#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
} WSADATA, *LPWSADATA;

typedef struct in_addr_w {
    union {
        struct {
            BYTE s_b1, s_b2, s_b3, s_b4;
        } S_un_b;
        ULONG S_addr;
    } S_un;
} IN_ADDR;

typedef struct sockaddr_w {
    USHORT sa_family;
    char sa_data[14];
} SOCKADDR;

typedef struct sockaddr_in_w {
    short sin_family;
    USHORT sin_port;
    IN_ADDR sin_addr;
    char sin_zero[8];
} SOCKADDR_IN;

// Host entry of gethostbyname (Windows x64 layout). The addresses are
// h_length bytes each, in network order.
typedef struct hostent_w {
    char* h_name;
    char** h_aliases;
    short h_addrtype;
    short h_length;
    char** h_addr_list;
} HOSTENT, *PHOSTENT, *LPHOSTENT;

static_assert(sizeof(HOSTENT) == 32);
static_assert(offsetof(HOSTENT, h_aliases) == 8 && offsetof(HOSTENT, h_addrtype) == 16);
static_assert(offsetof(HOSTENT, h_length) == 18 && offsetof(HOSTENT, h_addr_list) == 24);

static_assert(sizeof(SOCKADDR_IN) == 16);
static_assert(sizeof(WSADATA) == 408);

namespace pal::ws {
int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
int connect(SOCKET s, const SOCKADDR* name, int namelen);
int send(SOCKET s, const char* buf, int len, int flags);
int gethostname(char* name, int namelen);
// Host-name look-up without DNS. Answers, case-insensitively:
//   - names listed in the machine registry under
//       HKLM\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters\Hosts
//     as REG_SZ "<name>"="a.b.c.d" (several addresses separated by commas or
//     blanks) or REG_MULTI_SZ, one address a string;
//   - the computer name (127.0.0.1 unless listed there) and "localhost"
//     (127.0.0.1);
//   - a dotted address, which answers itself.
// Anything else fails with WSAHOST_NOT_FOUND. The entry lives in storage of
// the calling thread until that thread's next call, as on Windows.
HOSTENT* gethostbyname(const char* name);
ULONG inet_addr(const char* cp);
USHORT htons(USHORT hostshort);
ULONG htonl(ULONG hostlong);
} // namespace pal::ws

#ifndef PAL_NO_WINSOCK_NAMES
#define s_addr S_un.S_addr
using pal::ws::closesocket;
using pal::ws::connect;
using pal::ws::gethostbyname;
using pal::ws::gethostname;
using pal::ws::htonl;
using pal::ws::htons;
using pal::ws::inet_addr;
using pal::ws::send;
using pal::ws::socket;
using pal::ws::WSAStartup;
#endif
