#include "engine/vxi11/Vxi11InterruptChannel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "engine/vxi11/InstrumentServer.h"
#include "engine/vxi11/Vxi11Status.h"
#include "engine/vxi11/Xdr.h"

namespace {

constexpr std::uint32_t kLastFragment = 0x80000000u;

class CChannelLock {
public:
    explicit CChannelLock(COSMutex& mutex) : m_mutex(mutex) { m_mutex.Lock(&m_status); }
    ~CChannelLock() {
        if (m_status == 0) {
            m_mutex.Unlock();
        }
    }
    CChannelLock(const CChannelLock&) = delete;
    CChannelLock& operator=(const CChannelLock&) = delete;
    bool Held() const { return m_status == 0; }

private:
    COSMutex& m_mutex;
    std::uint32_t m_status = 0;
};

sockaddr_in Address(std::uint32_t address, std::uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = htonl(address);
    result.sin_port = htons(port);
    return result;
}

// connect() within boundMs; true when connected.
bool ConnectBounded(int fd, const sockaddr_in& peer, std::uint32_t boundMs) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return false;
    }
    int result = connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer));
    if (result != 0 && (errno == EINPROGRESS || errno == EINTR)) {
        const std::int64_t deadline = RpcNowMs() + boundMs;
        for (;;) {
            const std::int64_t left = deadline - RpcNowMs();
            pollfd entry{fd, POLLOUT, 0};
            const int ready = poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
            if (ready > 0) {
                int error = 0;
                socklen_t length = sizeof(error);
                result = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0 ? 0 : -1;
                break;
            }
            if (ready == 0 || errno != EINTR) {
                result = -1;
                break;
            }
        }
    }
    return result == 0 && fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

CVxi11InterruptChannel::CVxi11InterruptChannel(std::uint32_t bindAddress) : m_bindAddress(bindAddress) {}

CVxi11InterruptChannel::~CVxi11InterruptChannel() { CloseLocked(); }

bool CVxi11InterruptChannel::IsEstablished() {
    CChannelLock lock(m_mutex);
    return lock.Held() && m_established != 0;
}

void CVxi11InterruptChannel::ConnectTcp(std::uint32_t* status) {
    *status = VXI11_STATUS_NO_CHANNEL;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    const sockaddr_in local = Address(m_bindAddress, 0);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0 ||
        !ConnectBounded(fd, Address(m_hostAddr, m_hostPort), m_boundMs)) {
        close(fd);
        return;
    }
    std::uint32_t adoptStatus = 0;
    m_tcp.Adopt(fd, &adoptStatus);
    if (adoptStatus != 0) {
        close(fd);
        return;
    }
    m_tcp.EnableKeepAlive(CInstrumentServer::kKeepAliveIdleS, CInstrumentServer::kKeepAliveIntervalS,
                          CInstrumentServer::kKeepAliveProbes);
    *status = 0;
}

void CVxi11InterruptChannel::Create(std::uint32_t hostAddr, std::uint16_t hostPort, std::uint32_t family,
                                    std::uint32_t* status) {
    CChannelLock lock(m_mutex);
    if (!lock.Held()) {
        *status = VXI11_STATUS_FAULT;
        return;
    }
    if (m_established != 0) {
        *status = VXI11_STATUS_CHANNEL_EXISTS;
        return;
    }
    if (family > static_cast<std::uint32_t>(kUdp)) {
        *status = VXI11_STATUS_NOT_SUPPORTED;
        return;
    }
    m_hostAddr = hostAddr;
    m_hostPort = hostPort;
    if (family == static_cast<std::uint32_t>(kTcp)) {
        ConnectTcp(status);
    } else {
        m_udp.CreateUdp(status);
        if (*status == 0) {
            m_udp.Bind(m_bindAddress, 0, status);
        }
        if (*status != 0) {
            m_udp.Close();
            *status = VXI11_STATUS_NO_CHANNEL;
        }
    }
    if (*status != 0) {
        m_hostAddr = 0;
        m_hostPort = 0;
        return;
    }
    m_family = static_cast<std::int32_t>(family);
    m_established = 1;
}

void CVxi11InterruptChannel::Destroy(std::uint32_t* status) {
    CChannelLock lock(m_mutex);
    if (!lock.Held()) {
        *status = VXI11_STATUS_FAULT;
        return;
    }
    if (m_established == 0) {
        *status = VXI11_STATUS_NO_CHANNEL;
        return;
    }
    CloseLocked();
    *status = 0;
}

void CVxi11InterruptChannel::CloseLocked() {
    m_tcp.Close();
    m_udp.Close();
    m_established = 0;
    m_family = kNone;
    m_hostAddr = 0;
    m_hostPort = 0;
}

void CVxi11InterruptChannel::SendDeviceIntrSrq(std::uint32_t handleLength, const std::uint8_t* handle,
                                               std::uint32_t* status) {
    CChannelLock lock(m_mutex);
    if (!lock.Held()) {
        *status = VXI11_STATUS_FAULT;
        return;
    }
    if (m_established == 0) {
        *status = VXI11_STATUS_NO_CHANNEL;
        return;
    }
    if (handleLength > kMaxHandle) {
        *status = VXI11_STATUS_PARAMETER;
        return;
    }
    std::uint8_t call[4 + 44 + kMaxHandle];
    CXdrWriter writer(call + 4, sizeof(call) - 4);
    writer.Word(kXid);
    writer.Word(0);  // CALL
    writer.Word(2);  // RPC version
    writer.Word(kProgram);
    writer.Word(kVersion);
    writer.Word(kProcedure);
    writer.Word(0);  // credential AUTH_NONE, empty
    writer.Word(0);
    writer.Word(0);  // verifier AUTH_NONE, empty
    writer.Word(0);
    writer.Opaque(handle, handleLength);
    XdrPutWord(call, kLastFragment | writer.Length());

    bool sent = false;
    if (m_family == kTcp) {
        // Drop the controller's replies to earlier calls; a closed peer ends the channel.
        bool peerOpen = true;
        std::uint8_t scratch[512];
        for (;;) {
            const ssize_t got = recv(m_tcp.Descriptor(), scratch, sizeof(scratch), MSG_DONTWAIT);
            if (got > 0) {
                continue;
            }
            if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                peerOpen = false;
            }
            if (got == 0 || errno != EINTR) {
                break;
            }
        }
        sent = peerOpen && CInstrumentServer::SendWhole(m_tcp, call, 4 + writer.Length(), m_boundMs);
    } else {
        const timeval bound{static_cast<time_t>(m_boundMs / 1000), static_cast<suseconds_t>((m_boundMs % 1000) * 1000)};
        setsockopt(m_udp.Descriptor(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof(bound));
        std::uint32_t sendStatus = 0;
        const std::uint32_t count = m_udp.SendTo(call + 4, writer.Length(), m_hostAddr, m_hostPort, &sendStatus);
        sent = sendStatus == 0 && count == writer.Length();
    }
    if (!sent) {
        CloseLocked();
        *status = VXI11_STATUS_FAULT;
        return;
    }
    *status = 0;
}
