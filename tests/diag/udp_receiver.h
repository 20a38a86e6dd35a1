// A UDP receiver on a loopback address, written against the POSIX socket API
// in its own file so that it never meets the Windows socket names.
#pragma once
#include <optional>
#include <string>

class UdpReceiver {
public:
    UdpReceiver() = default;
    ~UdpReceiver();
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    // Binds 127.0.0.1:port; false when the port cannot be had.
    bool Bind(unsigned short port);
    // The next datagram, or nothing when none arrives within timeoutMs.
    std::optional<std::string> Receive(int timeoutMs);

private:
    int m_fd = -1;
};
