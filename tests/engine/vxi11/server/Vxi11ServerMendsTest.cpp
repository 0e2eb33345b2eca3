// The mends of the VXI-11 server: an accept loop that outlives descriptor exhaustion, stops
// that interrupt and wait before closing, a bounded interrupt channel, and a builder that
// undoes only its own start.
#include <fcntl.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "Vxi11ServerSupport.h"
#include "engine/os/Allocator.h"
#include "engine/vxi11/MiniPortMapper.h"
#include "engine/vxi11/Vxi11InterruptChannel.h"

namespace {

using Clock = std::chrono::steady_clock;

int Listener(int backlog, int receiveBuffer = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(kLoopback);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(fd, backlog);
    return fd;
}

std::uint16_t PortOf(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// ---- accept loop (descriptor exhaustion) ----

using Vxi11ServerAcceptLoop = Vxi11ServerFixture;

TEST_F(Vxi11ServerAcceptLoop, SurvivesDescriptorExhaustion) {
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    const int waiting = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::vector<int> filler;
    for (int fd = dup(0); fd >= 0; fd = dup(0)) {
        filler.push_back(fd);
    }
    // The blocked accept holds the one descriptor left; below the limit nothing else is free.
    int reserved = -1;
    for (int fd = 0; fd < 256 && reserved < 0; ++fd) {
        if (fcntl(fd, F_GETFD) < 0) {
            reserved = fd;
        }
    }
    ASSERT_GE(reserved, 0);
    low.rlim_cur = static_cast<rlim_t>(reserved);
    setrlimit(RLIMIT_NOFILE, &low);
    sockaddr_in core{};
    core.sin_family = AF_INET;
    core.sin_addr.s_addr = htonl(kLoopback);
    core.sin_port = htons(vxi11_core_port());
    // The connection is taken but cannot be set up (its server finds no memory): it is
    // closed; the next accepts find no descriptor at all and are retried.
    EngineFailAllocation(1);
    ASSERT_EQ(connect(waiting, reinterpret_cast<sockaddr*>(&core), sizeof(core)), 0);
    const bool closed = PeerClosed(waiting);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EngineResetAllocatorHooks();
    const bool setUpFailed = LogContains("could not be set up (out of memory); closed");
    const bool acceptFailed = LogContains("accept failed (Too many open files); still accepting");
    for (int fd : filler) {
        close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &saved);
    close(waiting);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(setUpFailed);
    EXPECT_TRUE(acceptFailed);
    // Released: new clients are served.
    CoreClient client;
    const auto link = client.CreateLink();
    ASSERT_EQ(link.error, 0u);
    EXPECT_EQ(client.Query(link.lid, "*IDN?\n"), "KORVEX-TEST,VXI11,0,0\n");
}

// ---- stop ----

using Vxi11ServerStop = Vxi11ServerFixture;

TEST_F(Vxi11ServerStop, EndsABlockedReadWhileClientsKeepConnecting) {
    CoreClient reader;
    const auto link = reader.CreateLink();
    ASSERT_EQ(link.error, 0u);
    // Nothing to read, no time-out: the read blocks until the server goes.
    auto read = std::async(std::launch::async, [&] { return reader.Read(link.lid, 4096, 0xFFFFFFFFu, 0, 20000); });
    std::atomic<bool> done{false};
    std::atomic<int> linked{0};
    std::thread connector([&] {
        while (!done.load()) {
            CoreClient client;
            if (client.CreateLink().error == 0) {
                ++linked;
            }
        }
    });
    while (linked.load() < 5) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    auto stop = std::async(std::launch::async, [] { return Korvex::zo_device_stop_tcpip_server(); });
    EXPECT_EQ(stop.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(stop.get(), 0);
    done.store(true);
    connector.join();
    ASSERT_EQ(read.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    const auto result = read.get();
    EXPECT_TRUE(result.error == 23u || result.error == 0xDEADu) << result.error;  // aborted, or closed
    EXPECT_EQ(vxi11_core_port(), 0u);
}

// ---- interrupt channel bounds ----

TEST(Vxi11ServerInterruptBounds, ConnectToAControllerThatNeverAcceptsIsBounded) {
    const int listener = Listener(0);
    std::vector<int> queued;
    for (int i = 0; i < 8; ++i) {  // fill the accept queue; later handshakes go unanswered
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(kLoopback);
        address.sin_port = htons(PortOf(listener));
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        queued.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    CVxi11InterruptChannel channel(kLoopback);
    channel.SetBoundMs(300);
    const auto start = Clock::now();
    std::uint32_t status = 0;
    channel.Create(kLoopback, PortOf(listener), 0, &status);
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(status, 0x54391u);
    EXPECT_GE(elapsed, std::chrono::milliseconds(250));
    EXPECT_LT(elapsed, std::chrono::seconds(10));
    EXPECT_FALSE(channel.IsEstablished());
    for (int fd : queued) {
        close(fd);
    }
    close(listener);
}

TEST(Vxi11ServerInterruptBounds, ControllerThatNeverReadsClosesTheChannel) {
    const int listener = Listener(4, 4096);
    CVxi11InterruptChannel channel(kLoopback);
    channel.SetBoundMs(200);
    std::uint32_t status = 1;
    channel.Create(kLoopback, PortOf(listener), 0, &status);
    ASSERT_EQ(status, 0u);
    const int controller = accept(listener, nullptr, nullptr);
    const std::uint8_t handle[6] = {'h', 'a', 'n', 'd', 'l', 'e'};
    std::uint32_t sent = 0;
    for (; sent < 1000000 && status == 0; ++sent) {
        channel.SendDeviceIntrSrq(6, handle, &status);
    }
    EXPECT_EQ(status, 0x543FFu);
    EXPECT_FALSE(channel.IsEstablished());
    channel.SendDeviceIntrSrq(6, handle, &status);
    EXPECT_EQ(status, 0x54391u);
    // The stream ends after the calls: whole 56-byte records, then the close.
    std::size_t total = 0;
    std::uint8_t buffer[65536];
    for (ssize_t got = recv(controller, buffer, sizeof(buffer), 0); got > 0;
         got = recv(controller, buffer, sizeof(buffer), 0)) {
        total += static_cast<std::size_t>(got);
    }
    EXPECT_GT(total, 0u);
    close(controller);
    close(listener);
}

TEST(Vxi11ServerInterruptBounds, RepliesOfTheControllerDoNotBlockTheChannel) {
    const int listener = Listener(4, 4096);
    CVxi11InterruptChannel channel(kLoopback);
    channel.SetBoundMs(500);
    std::uint32_t status = 1;
    channel.Create(kLoopback, PortOf(listener), 0, &status);
    ASSERT_EQ(status, 0u);
    const int controller = accept(listener, nullptr, nullptr);
    const int small = 4096;
    setsockopt(controller, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    // An RPC server: every call answered with an accepted, empty reply.
    std::thread server([controller] {
        for (;;) {
            const Bytes call = ReadRecord(controller, 5000);
            if (call.size() < 8) {
                return;
            }
            const Bytes reply = Record(Words({WordAt(call, 4), 1, 0, 0, 0, 0}));
            if (!WriteAll(controller, reply)) {
                return;
            }
        }
    });
    const std::uint8_t handle[4] = {1, 2, 3, 4};
    int failedAt = -1;
    for (int i = 0; i < 100000 && failedAt < 0; ++i) {  // undrained, ~70000 replies block it
        channel.SendDeviceIntrSrq(4, handle, &status);
        failedAt = status != 0 ? i : -1;
    }
    EXPECT_EQ(failedAt, -1);
    EXPECT_TRUE(channel.IsEstablished());
    channel.Destroy(&status);
    server.join();
    close(controller);
    close(listener);
}

// ---- builder ----

TEST(Vxi11ServerBuilder, FailedStartUndoesOnlyItsOwnWork) {
    REQUIRE_OWN_NETWORK();
    ClearLog();
    vxi11_set_log_sink(&CaptureLog);
    Korvex::FakeServers::Install();
    vxi11_install_server_builder();
    vxi11_install_server_builder();
    ASSERT_EQ(Korvex::zo_device_start_usb_server(), 0);
    // Port 111 held (TCP bound but not listening, UDP bound).
    sockaddr_in portMapper{};
    portMapper.sin_family = AF_INET;
    portMapper.sin_addr.s_addr = htonl(kLoopback);
    portMapper.sin_port = htons(111);
    const int heldTcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int heldUdp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(heldTcp, reinterpret_cast<sockaddr*>(&portMapper), sizeof(portMapper)), 0);
    ASSERT_EQ(bind(heldUdp, reinterpret_cast<sockaddr*>(&portMapper), sizeof(portMapper)), 0);

    EXPECT_EQ(Korvex::zo_device_start_tcpip_server(), -1);
    EXPECT_TRUE(LogContains("VXI-11 server start failed: port 111 unavailable"));
    EXPECT_EQ(vxi11_core_port(), 0u);
    {
        Korvex::TestDevice usb;
        EXPECT_EQ(usb.OpenUsb(), 0u);  // kind 2 still serves
    }
    close(heldTcp);
    close(heldUdp);

    // Another portmapper knows the core program already, at a port where a server listens.
    {
        const int served = Listener(4);
        std::uint32_t status = 1;
        CMiniPortMapper other(kLoopback, PortOf(served), &status);
        ASSERT_EQ(status, 0u);
        EXPECT_EQ(Korvex::zo_device_start_tcpip_server(), -1);
        EXPECT_TRUE(LogContains("395183 already registered, and served on port " + std::to_string(PortOf(served))));
        close(served);
    }
    // ... at a port where nothing listens: the stale registration is withdrawn (which this
    // portmapper refuses).
    {
        const int gone = Listener(4);
        const std::uint16_t stale = PortOf(gone);
        close(gone);
        std::uint32_t status = 1;
        CMiniPortMapper other(kLoopback, stale, &status);
        ASSERT_EQ(status, 0u);
        EXPECT_EQ(Korvex::zo_device_start_tcpip_server(), -1);
        EXPECT_TRUE(LogContains(("Removing stale registration of 395183 (port " + std::to_string(stale) + ")").c_str()));
        EXPECT_TRUE(LogContains("portmapper refused to remove the stale registration of 395183"));
    }

    ASSERT_EQ(Korvex::zo_device_start_tcpip_server(), 0);
    EXPECT_NE(vxi11_core_port(), 0u);
    EXPECT_EQ(Korvex::zo_device_start_tcpip_server(), -1);  // runs already
    {
        Korvex::Vxi11TestDevice device;
        ASSERT_EQ(device.OpenVxi11(), 0u);
        CoreClient client;
        EXPECT_EQ(client.Query(client.CreateLink().lid, "*IDN?\n"), "KORVEX-TEST,VXI11,0,0\n");
    }
    EXPECT_EQ(Korvex::zo_device_stop_tcpip_server(), 0);
    EXPECT_EQ(Korvex::zo_device_stop_usb_server(), 0);
    vxi11_set_log_sink(nullptr);
}

}  // namespace
