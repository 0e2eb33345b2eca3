#include "Host/main/nbns/NbnsService.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "Host/main/nbns/NbnsBrowse.h"
#include "Host/main/nbns/NbnsNames.h"
#include "Host/main/nbns/NbnsPacket.h"
#include "platform/net/BootpRecord.h"
#include "platform/net/Eth0.h"

namespace Korvex::nbns {

namespace {

constexpr int DebugLevel = 0;
constexpr int ThreadPriority = 10;
constexpr std::size_t ThreadStackSize = 30720;
constexpr kernel::tick_t StartWaitTicks = 500;
constexpr kernel::tick_t StopPollTicks = 100;
constexpr kernel::tick_t RegistrationPauseTicks = 25;
constexpr std::int64_t LoopWaitMs = 10000;
constexpr std::int32_t RefreshSeconds = 600;
constexpr std::int32_t BrowseSeconds = 10;
constexpr std::uint16_t NameServicePort = 137;
constexpr std::uint16_t SessionPort = 139;
constexpr char Version[] = "1.9.14";

// Calendar time = wall clock when first asked + board ticks since, so --tick-us scales it.
class BoardClock : public NbnsClock {
public:
    BoardClock() : startTick(kernel::current_time())
    {
        timeval now{};
        ::gettimeofday(&now, nullptr);
        startMs = static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_usec / 1000;
    }

    std::int64_t NowMs() override
    {
        return startMs + static_cast<std::int64_t>(kernel::current_time() - startTick) * 10;
    }

    void Delay(kernel::tick_t ticks) override { kernel::thread_delay(ticks); }

    int WaitReadable(int nfds, fd_set* readable, std::int64_t timeoutMs) override
    {
        const double realMs = static_cast<double>(timeoutMs) / 10.0 * kernel::tick_ms();
        const auto us = static_cast<std::int64_t>(realMs * 1000.0);
        timeval timeout{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
        return ::select(nfds, readable, nullptr, nullptr, &timeout);
    }

private:
    kernel::tick_t startTick;
    std::int64_t startMs = 0;
};

// Shut-down by nbns_stop and close by the thread never overlap, so nbns_stop never shuts
// down a descriptor that is already closed (and maybe someone else's by then).
std::mutex& SocketsMutex()
{
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

kernel::Semaphore* NewSemaphore()
{
    auto* s = new kernel::Semaphore;
    kernel::semaphore_init(s, 0);
    return s;
}

// Posted by the thread once its start-up is done (sockets open, or not to be had).
kernel::Semaphore& StartedUp()
{
    static kernel::Semaphore* semaphore = NewSemaphore();
    return *semaphore;
}

// Posted by the thread as its last action.
kernel::Semaphore& Ended()
{
    static kernel::Semaphore* semaphore = NewSemaphore();
    return *semaphore;
}

std::atomic<kernel::handle_t> serviceThread{0};

// eth0 from its configuration record: the address when it is up, the mask of option 1 (else
// the interface's own, the natural mask of its address).
NbnsInterface Eth0Interface()
{
    NbnsInterface iface;
    const platform::net::BootpRecord record = platform::net::eth0_record();
    iface.up = platform::net::eth0_up();
    iface.address = record.yiaddr;
    iface.maskKnown = true;
    iface.netmask = platform::net::RecordMask(record);
    return iface;
}

void copy_text(char* to, const char* from)
{
    const std::size_t n = ::strnlen(from, TextSize - 1);
    std::memcpy(to, from, n);
    to[n] = '\0';
}

void replace_all(std::string& text, const std::string& what, const std::string& with)
{
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
}

// The signal handlers only write their fixed text (async-signal-safe). Once the standard
// output is a broken pipe they stop writing: each write would raise SIGPIPE again.
volatile std::sig_atomic_t outputBroken = 0;

void WriteSignalText(const char* text, std::size_t length)
{
    if (outputBroken != 0) return;
    if (::write(STDOUT_FILENO, text, length) < 0 && errno == EPIPE) outputBroken = 1;
}

extern "C" void OnSighup(int)
{
    const int saved = errno;
    static const char text[] = "Got SIGHUP - not implemented\n";
    WriteSignalText(text, sizeof text - 1);
    ::signal(SIGHUP, &OnSighup);
    errno = saved;
}

extern "C" void OnSigpipe(int)
{
    const int saved = errno;
    static const char text[] = "Got SIGPIPE\n";
    WriteSignalText(text, sizeof text - 1);
    errno = saved;
}

// A UDP socket on the bind address and port; -1 when it cannot be had.
int open_socket(std::uint16_t port, bool retry)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        nbns_log(0, "socket failed\n");
        return -1;
    }
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = ::inet_addr(platform::net::bind_address().c_str());
    for (;;) {
        at.sin_port = htons(port);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0) {
            nbns_log(1, "bind succeeded on port %d\n", port);
            const int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            return fd;
        }
        if (port == NameServicePort || port == SessionPort) {
            const int error = errno;
            const std::string advice = platform::net::bind_advice(error, port);
            nbns_log(0, "bind failed on port %d: %s%s%s\n", port, std::strerror(error), advice.empty() ? "" : "; ",
                     advice.c_str());
        }
        if (!retry || port >= 9000) break;
        port = port < 1000 ? 8000 : static_cast<std::uint16_t>(port + 1);
    }
    ::close(fd);
    return -1;
}

// Whether the datagram just read from fd came from that very socket (a broadcast of ours).
bool own_echo(int fd)
{
    const NbnsState& st = State();
    sockaddr_in at{};
    socklen_t length = sizeof at;
    return st.ownKnown && st.lastSenderAddress == st.ownAddress &&
           ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length) == 0 &&
           st.lastSenderPort == ntohs(at.sin_port);
}

void nbns_thread_main(kernel::addrword_t)
{
    NbnsState& st = State();
    nbns_init_state();
    const bool opened = open_sockets();
    if (opened) {
        ::signal(SIGPIPE, &OnSigpipe);
        const int on = 1;
        ::setsockopt(st.nameSocket.load(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        ::setsockopt(st.datagramSocket.load(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        nbns_log(1, "nmbd Debug - open_sockets call success\n");
    }
    st.failed.store(!opened);
    kernel::semaphore_post(&StartedUp());
    if (opened) {
        std::uint8_t buffer[MaxDatagram] = {};
        while (!st.stopRequested.load()) main_loop_pass(buffer);
        std::uint8_t release[MaxDatagram];
        const std::size_t n = build_name_request(release, NameRequest::Release, st.releaseTrnId++,
                                                 st.myname, st.ownAddress);
        send_packet(release, n, st.broadcast, NameServicePort);
    }
    close_sockets();
    st.names.clear();
    st.names.shrink_to_fit();
    st.stopped.store(true);
    kernel::semaphore_post(&Ended());
}

}  // namespace

NbnsState& State()
{
    static NbnsState* state = new NbnsState;
    return *state;
}

NbnsClock& module_clock()
{
    static BoardClock* board = new BoardClock;
    NbnsClock* injected = State().clock;
    return injected != nullptr ? *injected : *board;
}

std::int64_t now_ms() { return module_clock().NowMs(); }

std::int32_t now_seconds() { return static_cast<std::int32_t>(now_ms() / 1000); }

int nbns_log(int level, const char* format, ...)
{
    if (level > DebugLevel) return 0;
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
    return 0;
}

void nbns_set_clock(NbnsClock* clock) { State().clock = clock; }
void nbns_set_send_hook(NbnsSendHook hook) { State().sendHook = std::move(hook); }
void nbns_set_interface_reader(NbnsInterfaceReader reader) { State().interfaceReader = std::move(reader); }
void nbns_set_ports(std::uint16_t namePort, std::uint16_t datagramPort)
{
    State().namePort = namePort;
    State().datagramPort = datagramPort;
}

void nbns_set_arguments(const char* host, const char* domain, const char* comment)
{
    NbnsState& st = State();
    copy_text(st.host, host);
    copy_text(st.domain, domain);
    copy_text(st.commentArg, comment);
}

void nbns_init_state()
{
    NbnsState& st = State();
    st.firstBrowse = true;
    st.lastBrowseTime = 0;
    st.regTrnId = 374;
    st.releaseTrnId = 374;
    st.regHookCount = 0;
    st.lastRegTime = 0;
    st.names.clear();
    st.numGoodSends = 0;
    st.numGoodReceives = 0;
    st.processed = 0;
    st.announceInterval = 1;
    st.datagramId = 0;

    const NbnsInterface iface = st.interfaceReader ? st.interfaceReader() : Eth0Interface();
    st.ownKnown = iface.up;
    st.ownAddress = iface.up ? iface.address : 0;
    in_addr own{};
    own.s_addr = st.ownAddress;
    ::inet_ntop(AF_INET, &own, st.ownText, sizeof st.ownText);
    st.maskKnown = iface.maskKnown;
    st.netmask = iface.maskKnown ? iface.netmask : 0;
    st.broadcast = iface.maskKnown ? (st.ownAddress | ~st.netmask) : 0;

    copy_text(st.myname, st.host);
    add_name_entry(st.domain, 0xF0, 0, true);
    copy_text(st.comment, st.commentArg);
    ::signal(SIGHUP, &OnSighup);

    const std::string hostPart(st.ownText, ::strcspn(st.ownText, "."));
    if (st.myname[0] == '\0') copy_text(st.myname, hostPart.c_str());
    for (const int type : {0x20, 0x00, 0x03}) add_my_name_entry(st.myname, type, st.ownAddress);

    std::string comment = st.comment[0] != '\0' ? st.comment : "Samba %v";
    replace_all(comment, "%v", Version);
    replace_all(comment, "%h", hostPart);
    copy_text(st.comment, comment.c_str());

    for (const int type : {0x20, 0x00}) add_my_name_entry("__SAMBA__", type, st.ownAddress);
    for (NameRecord& record : st.names)
        if (record.valid && record.address == 0) record.address = record.group ? st.broadcast : st.ownAddress;
}

bool open_sockets()
{
    NbnsState& st = State();
    const int nameSocket = open_socket(st.namePort, false);
    if (nameSocket < 0) return false;
    st.nameSocket.store(nameSocket);
    st.datagramSocket.store(open_socket(st.datagramPort, true));
    return true;
}

void close_sockets()
{
    NbnsState& st = State();
    std::lock_guard<std::mutex> hold(SocketsMutex());
    for (std::atomic<int>* socket : {&st.nameSocket, &st.datagramSocket}) {
        const int fd = socket->exchange(-1);
        if (fd >= 0) ::close(fd);
    }
}

std::uint16_t bound_port(bool nameService)
{
    const int fd = nameService ? State().nameSocket.load() : State().datagramSocket.load();
    sockaddr_in at{};
    socklen_t length = sizeof at;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length) != 0) return 0;
    return ntohs(at.sin_port);
}

void do_registration_hook()
{
    NbnsState& st = State();
    const std::int32_t now = now_seconds();
    if (st.regHookCount < 3 || now - st.lastRegTime >= RefreshSeconds) {
        const bool registering = st.regHookCount < 3;
        std::uint8_t packet[MaxDatagram];
        const std::size_t n = build_name_request(
            packet, registering ? NameRequest::Registration : NameRequest::Refresh, st.regTrnId++,
            st.myname, st.ownAddress);
        send_packet(packet, n, st.broadcast, NameServicePort);
        st.lastRegTime = now;
        nbns_log(1, registering ? "nmbd Debug - NAME Registration request sent\n"
                                : "nmbd Debug - NAME Refresh request sent\n");
    }
    if (st.regHookCount + 1 >= 65535) {
        st.regHookCount = 5;
        nbns_log(1, "nmbd Debug - 'do_reg_hook_count' rolled over!\n");
    } else {
        ++st.regHookCount;
    }
}

void process_datagram(const std::uint8_t* packet, std::size_t length)
{
    NbnsState& st = State();
    if (length <= 3) return;
    const int rcode = rcode_of(packet);
    if (opcode_of(packet) == OpRegistration && rcode != 0 && rcode != 7 && nm_flags_of(packet) == 0x58) {
        st.conflict.store(true);
        nbns_log(1, "nmbd Debug - NEGATIVE NAME REGISTRATION RESPONSE received!!!\n");
    }
    construct_reply(packet, length);
    ++st.processed;
}

void main_loop_pass(std::uint8_t* buffer)
{
    NbnsState& st = State();
    do_registration_hook();
    if (st.regHookCount < 3) {
        module_clock().Delay(RegistrationPauseTicks);
    } else if (st.lastBrowseTime == 0 || now_seconds() - st.lastBrowseTime >= BrowseSeconds) {
        do_browse_hook();
    }
    const int nameSocket = st.nameSocket.load();
    const int datagramSocket = st.regHookCount > 2 ? st.datagramSocket.load() : -1;
    // Our own broadcasts come back to our sockets; they are not traffic and do not end the
    // wait (else they would space the registrations 250 ms apart).
    const std::int64_t until = now_ms() + LoopWaitMs;
    for (;;) {
        fd_set set;
        int ready = 0;
        do {
            FD_ZERO(&set);
            if (nameSocket >= 0) FD_SET(nameSocket, &set);
            if (datagramSocket >= 0) FD_SET(datagramSocket, &set);
            ready = module_clock().WaitReadable(std::max(nameSocket, datagramSocket) + 1, &set,
                                                std::max<std::int64_t>(0, until - now_ms()));
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0) return;
        bool echoesOnly = true;
        if (datagramSocket >= 0 && FD_ISSET(datagramSocket, &set)) {
            std::uint8_t dropped[MaxDatagram];
            const std::size_t n = read_udp_socket(datagramSocket, dropped, sizeof dropped);
            if (n == 0 || !own_echo(datagramSocket)) echoesOnly = false;
        }
        if (nameSocket >= 0 && FD_ISSET(nameSocket, &set)) {
            const std::size_t n = read_udp_socket(nameSocket, buffer, MaxDatagram);
            if (n == 0) return;
            if (!own_echo(nameSocket)) {
                ++st.numGoodReceives;
                process_datagram(buffer, n);
                echoesOnly = false;
            }
        }
        if (!echoesOnly) return;
    }
}

std::uint8_t nbns_start(const char* host, const char* domain, const char* comment)
{
    const std::int64_t begin = now_ms();
    const std::uint8_t launched = nbns_launch(host, domain, comment);
    const std::int64_t waited = (now_ms() - begin) / 10;
    if (waited < static_cast<std::int64_t>(StartWaitTicks))
        module_clock().Delay(StartWaitTicks - static_cast<kernel::tick_t>(waited));
    if (launched != 0) return launched;
    return nbns_conflict() ? 1 : 0;
}

std::uint8_t nbns_launch(const char* host, const char* domain, const char* comment)
{
    NbnsState& st = State();
    st.conflict.store(false);
    st.failed.store(false);
    st.stopRequested.store(false);
    st.stopped.store(false);
    st.nameSocket.store(-1);
    st.datagramSocket.store(-1);
    while (kernel::semaphore_trywait(&Ended())) {
    }
    nbns_set_arguments(host, domain, comment);
    const kernel::handle_t thread =
        kernel::thread_create(ThreadPriority, &nbns_thread_main, 0, "nbns", ThreadStackSize);
    serviceThread.store(thread);
    kernel::thread_resume(thread);
    // The sockets are open (or could not be).
    kernel::semaphore_wait(&StartedUp());
    return st.failed.load() ? 2 : 0;
}

bool nbns_conflict() { return State().conflict.load(); }

std::uint8_t nbns_stop()
{
    NbnsState& st = State();
    std::uint8_t result = 0;
    {
        std::lock_guard<std::mutex> hold(SocketsMutex());
        st.stopRequested.store(true);
        for (std::atomic<int>* socket : {&st.nameSocket, &st.datagramSocket}) {
            const int fd = socket->load();
            // An unconnected UDP socket answers ENOTCONN, yet its readers wake up.
            if (fd < 0 || (::shutdown(fd, SHUT_RD) != 0 && errno != ENOTCONN)) result = 11;
        }
    }
    // Looks every 100 ticks, and at once when the thread ends.
    while (!st.stopped.load()) kernel::semaphore_timed_wait(&Ended(), kernel::current_time() + StopPollTicks);
    while (kernel::semaphore_trywait(&Ended())) {
    }
    const kernel::handle_t thread = serviceThread.exchange(0);
    if (thread != 0) kernel::thread_delete(thread);
    nbns_log(1, "nmbd Debug - Deinit done\n");
    return result;
}

bool nbns_thread_exists() { return serviceThread.load() != 0; }

}  // namespace Korvex::nbns
