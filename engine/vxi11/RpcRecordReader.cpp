#include "engine/vxi11/RpcRecordReader.h"

#include <poll.h>

#include <cerrno>
#include <cstring>

#include "engine/vxi11/InstrumentServer.h"

namespace {

// Milliseconds left until deadline (-1: no deadline); 0 when it has passed.
int MillisecondsLeft(std::int64_t deadline) {
    if (deadline < 0) {
        return -1;
    }
    const std::int64_t left = deadline - RpcNowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until the socket is readable or the deadline passed (status 6).
void WaitReadable(COSSocket& socket, std::int64_t deadline, std::uint32_t* status) {
    for (;;) {
        pollfd entry{socket.Descriptor(), POLLIN, 0};
        const int ready = poll(&entry, 1, MillisecondsLeft(deadline));
        if (ready > 0) {
            *status = 0;
            return;
        }
        if (ready == 0) {
            *status = 6;
            return;
        }
        if (errno != EINTR) {
            *status = 7;
            return;
        }
    }
}

}  // namespace

std::uint32_t CRpcRecordReader::ReceiveOnce(std::uint8_t* to, std::uint32_t length, std::int64_t deadline,
                                            std::uint32_t* status) {
    if (deadline >= 0) {
        WaitReadable(m_socket, deadline, status);
        if (*status != 0) {
            return 0;
        }
    }
    return m_socket.Receive(to, length, status);
}

void CRpcRecordReader::Take(std::uint8_t* data, std::uint32_t length, std::int64_t deadline,
                            std::uint32_t* status) {
    std::uint8_t scratch[512];
    std::uint32_t done = 0;
    while (done < length) {
        const std::uint32_t want = length - done;
        if (m_start < m_end) {
            const std::uint32_t n = want < m_end - m_start ? want : m_end - m_start;
            if (data != nullptr) {
                std::memcpy(data + done, m_buffer + m_start, n);
            }
            m_start += n;
            done += n;
            continue;
        }
        if (m_capacity != 0 && want < m_capacity) {
            // Whatever has arrived, up to the buffer's size: the rest waits for the next take.
            m_start = 0;
            m_end = ReceiveOnce(m_buffer, m_capacity, deadline, status);
            if (*status != 0) {
                m_end = 0;
                return;
            }
            continue;
        }
        // Without read-ahead, or a run at least as long as the buffer: straight to its place.
        std::uint32_t chunk = want;
        std::uint8_t* to = data != nullptr ? data + done : scratch;
        if (data == nullptr && chunk > sizeof(scratch)) {
            chunk = sizeof(scratch);
        }
        done += ReceiveOnce(to, chunk, deadline, status);
        if (*status != 0) {
            return;
        }
    }
    *status = 0;
}
