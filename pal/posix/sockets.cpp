// Windows Sockets over POSIX sockets. SOCKET values are the descriptors.
#define PAL_NO_WINSOCK_NAMES
#include "core.h"

#include "palwin.h"
#include "registry_store.h"

// The Windows constants of pal/sock.h have the same values as the POSIX ones
// but would clash with the system headers' own definitions.
#undef AF_INET
#undef SOCK_STREAM
#undef SOCK_DGRAM
#undef IPPROTO_UDP
#undef INADDR_NONE

#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <optional>
#include <string_view>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// Optimised builds of the C library define these as macros, which would
// rename the functions defined below.
#undef htons
#undef htonl

namespace pal::ws {
namespace {

static_assert(offsetof(SOCKADDR_IN, sin_port) == 2 && offsetof(SOCKADDR_IN, sin_addr) == 4);
static_assert(sizeof(IN_ADDR) == 4);
static_assert(offsetof(WSADATA, szDescription) == 16 && offsetof(WSADATA, szSystemStatus) == 273);

std::atomic<int> g_started{0};

int WsaFromErrno(int err) {
    switch (err) {
    case EINTR: return WSAEINTR;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EBADF:
    case ENOTSOCK: return WSAENOTSOCK;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETUNREACH: return WSAENETUNREACH;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return WSAEINVAL;
    }
}

// Windows Sockets keeps its error in the thread's last-error code.
int Fail(int wsaError) {
    SetLastError(static_cast<DWORD>(wsaError));
    return SOCKET_ERROR;
}

bool Started() { return g_started.load() > 0; }

bool ToPosix(const SOCKADDR* name, int namelen, sockaddr_in& out) {
    if (!name || namelen < static_cast<int>(sizeof(SOCKADDR_IN))) return false;
    SOCKADDR_IN in;
    std::memcpy(&in, name, sizeof(in));
    std::memset(&out, 0, sizeof(out));
    out.sin_family = static_cast<sa_family_t>(in.sin_family);
    out.sin_port = in.sin_port;
    out.sin_addr.s_addr = in.sin_addr.S_un.S_addr;
    return true;
}

// Where the machine lists the names gethostbyname answers.
constexpr std::u16string_view kHostsKey = u"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Hosts";

// The entry gethostbyname hands out; one per thread, overwritten by the
// thread's next call.
struct HostEntryStorage {
    std::string name;
    std::vector<std::array<char, 4>> addresses;
    std::vector<char*> addressList;
    char* aliases[1] = {nullptr};
    HOSTENT entry{};
};
thread_local HostEntryStorage t_hostEntry;

// A strict dotted quad "a.b.c.d", in network order.
std::optional<std::array<char, 4>> ParseDotted(std::string_view text) {
    if (text.empty() || text.size() > 15) return std::nullopt;
    const std::string copy(text);
    in_addr a;
    if (::inet_pton(AF_INET, copy.c_str(), &a) != 1) return std::nullopt;
    std::array<char, 4> out;
    std::memcpy(out.data(), &a.s_addr, 4);
    return out;
}

// The addresses listed for a name in the hosts key, in their order.
std::vector<std::array<char, 4>> ListedAddresses(std::u16string_view name, std::u16string* storedName) {
    std::vector<std::array<char, 4>> out;
    if (name.empty()) return out;
    auto v = pal::reg::QueryValue(HKEY_LOCAL_MACHINE, kHostsKey, name);
    if (!v || (v->type != REG_SZ && v->type != REG_MULTI_SZ && v->type != REG_EXPAND_SZ)) return out;
    // UTF-16 code units of the whole value; NULs separate the strings of a
    // multi-string and count as separators here.
    std::string text;
    for (size_t i = 0; i + 1 < v->data.size(); i += 2) {
        const char16_t c = static_cast<char16_t>(v->data[i] | (v->data[i + 1] << 8));
        text.push_back(c < 0x80 && c != 0 ? static_cast<char>(c) : ' ');
    }
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find_first_of(" ,;\t", pos);
        const std::string_view item(text.data() + pos, (end == std::string::npos ? text.size() : end) - pos);
        if (auto addr = ParseDotted(item)) out.push_back(*addr);
        if (end == std::string::npos) break;
        pos = end + 1;
    }
    if (!out.empty() && storedName) *storedName = v->name;
    return out;
}

bool IsSocket(SOCKET s) {
    struct stat st;
    return s <= static_cast<SOCKET>(INT_MAX) && fstat(static_cast<int>(s), &st) == 0 && S_ISSOCK(st.st_mode);
}

} // namespace

int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData) {
    if (!lpWSAData) return WSAEFAULT;
    const BYTE major = LOBYTE(wVersionRequested), minor = HIBYTE(wVersionRequested);
    if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
    std::memset(lpWSAData, 0, sizeof(*lpWSAData));
    lpWSAData->wVersion = (major > 2 || (major == 2 && minor > 2)) ? MAKEWORD(2, 2) : wVersionRequested;
    lpWSAData->wHighVersion = MAKEWORD(2, 2);
    std::strcpy(lpWSAData->szDescription, "WinSock 2.0");
    std::strcpy(lpWSAData->szSystemStatus, "Running");
    ++g_started;
    return 0;
}

SOCKET socket(int af, int type, int protocol) {
    if (!Started()) {
        Fail(WSANOTINITIALISED);
        return INVALID_SOCKET;
    }
    int fd = ::socket(af, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        Fail(WsaFromErrno(errno));
        return INVALID_SOCKET;
    }
    return static_cast<SOCKET>(fd);
}

int closesocket(SOCKET s) {
    if (!Started()) return Fail(WSANOTINITIALISED);
    if (!IsSocket(s)) return Fail(WSAENOTSOCK);
    if (::close(static_cast<int>(s)) != 0) return Fail(WsaFromErrno(errno));
    return 0;
}

int connect(SOCKET s, const SOCKADDR* name, int namelen) {
    if (!Started()) return Fail(WSANOTINITIALISED);
    if (!IsSocket(s)) return Fail(WSAENOTSOCK);
    sockaddr_in addr;
    if (!ToPosix(name, namelen, addr)) return Fail(WSAEFAULT);
    if (::connect(static_cast<int>(s), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
        return Fail(WsaFromErrno(errno));
    return 0;
}

int send(SOCKET s, const char* buf, int len, int flags) {
    if (!Started()) return Fail(WSANOTINITIALISED);
    if (!IsSocket(s)) return Fail(WSAENOTSOCK);
    if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
    ssize_t r = ::send(static_cast<int>(s), buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL);
    if (r < 0) return Fail(WsaFromErrno(errno));
    return static_cast<int>(r);
}

int gethostname(char* name, int namelen) {
    if (!Started()) return Fail(WSANOTINITIALISED);
    std::string host = Utf16ToAnsi(ComputerName());
    if (!name || namelen < 0 || static_cast<size_t>(namelen) < host.size() + 1) return Fail(WSAEFAULT);
    std::memcpy(name, host.c_str(), host.size() + 1);
    return 0;
}

HOSTENT* gethostbyname(const char* name) {
    if (!Started()) {
        Fail(WSANOTINITIALISED);
        return nullptr;
    }
    const std::string query = name ? name : "";
    const std::u16string computer = ComputerName();
    const std::u16string wide = query.empty() ? computer : AnsiToUtf16(query);

    std::string canonical;
    std::vector<std::array<char, 4>> addresses;
    std::u16string stored;
    if (auto dotted = ParseDotted(query)) {
        canonical = query;
        addresses.push_back(*dotted);
    } else if (addresses = ListedAddresses(wide, &stored); !addresses.empty()) {
        canonical = Utf16ToAnsi(stored);
    } else if (pal::reg::EqualsNoCase(wide, computer)) {
        canonical = Utf16ToAnsi(computer);
        addresses.push_back({127, 0, 0, 1});
    } else if (pal::reg::EqualsNoCase(wide, u"localhost")) {
        canonical = "localhost";
        addresses.push_back({127, 0, 0, 1});
    } else {
        Fail(WSAHOST_NOT_FOUND);
        return nullptr;
    }

    HostEntryStorage& h = t_hostEntry;
    h.name = std::move(canonical);
    h.addresses = std::move(addresses);
    h.addressList.clear();
    for (auto& a : h.addresses) h.addressList.push_back(a.data());
    h.addressList.push_back(nullptr);
    h.aliases[0] = nullptr;
    h.entry.h_name = h.name.data();
    h.entry.h_aliases = h.aliases;
    h.entry.h_addrtype = AF_INET;
    h.entry.h_length = 4;
    h.entry.h_addr_list = h.addressList.data();
    return &h.entry;
}

// Numeric forms only ("a.b.c.d" and the shorter inet_aton forms); a host
// name or an empty string gives INADDR_NONE.
ULONG inet_addr(const char* cp) {
    in_addr a;
    if (!cp || !*cp || ::inet_aton(cp, &a) == 0) return 0xffffffffu;
    return a.s_addr;
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "network order conversions assume a little-endian host");
USHORT htons(USHORT hostshort) { return __builtin_bswap16(hostshort); }
ULONG htonl(ULONG hostlong) { return __builtin_bswap32(hostlong); }

} // namespace pal::ws
