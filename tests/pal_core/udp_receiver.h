// A plain POSIX UDP receiver on 127.0.0.1, kept apart from the Windows
// declarations whose socket names would clash with the system headers.
#pragma once
#include <cstddef>
#include <cstdint>

// Binds an ephemeral loopback port; returns the descriptor (or -1) and the
// port in network byte order.
int OpenLoopbackReceiver(uint16_t* portNetworkOrder);
// Waits up to two seconds for one datagram; returns its size or -1.
int ReceiveDatagram(int fd, char* buf, size_t size);
void CloseReceiver(int fd);
