// The room left in a socket's send buffer, as the relay measures it before it reads for that
// socket. Plain POSIX: no Qt.
#pragma once

namespace common {

struct SendRoom {
    int sndbuf = 0;  // the buffer's size when last asked
    int age = 0;     // measures left before the size is asked again
    // Half the buffer (the kernel counts its own bookkeeping against it as well) less what waits
    // in it; -1 when the socket cannot tell. The kernel grows the buffer as the connection proves
    // fast: its size is asked for again every few calls, which follows the growth closely enough
    // at a fraction of the calls.
    long long measure(int fd);
};

}  // namespace common
