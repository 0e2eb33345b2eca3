// Support of the VXI-11 server tests: the process's own network namespace, a raw core-channel
// client, a fixture running the engine with the VXI-11 server and the test device "inst0",
// and the server's log lines.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "engine/TestDevice.h"
#include "engine/api/ZoDeviceApi.h"
#include "engine/vxi11/RpcWire.h"
#include "engine/vxi11/Vxi11ServerBuilder.h"

bool OwnNetworkNamespace();

#define REQUIRE_OWN_NETWORK()                                                      \
    do {                                                                           \
        if (!OwnNetworkNamespace()) {                                              \
            const char* ci = std::getenv("CI");                                    \
            if (ci != nullptr && std::string(ci) == "true") {                      \
                FAIL() << "no network namespace of our own";                       \
            }                                                                      \
            GTEST_SKIP() << "no network namespace of our own";                     \
        }                                                                          \
    } while (0)

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::uint32_t kCoreProgram = 0x0607AF;
constexpr std::uint32_t kAbortProgram = 0x0607B0;
constexpr std::uint32_t kIntrProgram = 0x0607B1;

// ---- log capture ----
inline std::mutex& LogMutex() {
    static std::mutex mutex;
    return mutex;
}
inline std::vector<std::string>& LogLines() {
    static std::vector<std::string> lines;
    return lines;
}
inline void CaptureLog(const char* line) {
    std::lock_guard<std::mutex> lock(LogMutex());
    LogLines().push_back(line);
}
inline bool LogContains(const std::string& text) {
    std::lock_guard<std::mutex> lock(LogMutex());
    for (const std::string& line : LogLines()) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}
inline void ClearLog() {
    std::lock_guard<std::mutex> lock(LogMutex());
    LogLines().clear();
}

// A TCP connection to 127.0.0.1:port (-1 when refused).
inline int ConnectTo(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(kLoopback);
    address.sin_port = htons(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline std::uint32_t WordAt(const Bytes& data, std::size_t offset) {
    if (offset + 4 > data.size()) {
        return 0xDEADBEEF;
    }
    return (static_cast<std::uint32_t>(data[offset]) << 24) | (static_cast<std::uint32_t>(data[offset + 1]) << 16) |
           (static_cast<std::uint32_t>(data[offset + 2]) << 8) | data[offset + 3];
}

inline void PutOpaque(Bytes& out, const std::string& text) {
    PutWords(out, {static_cast<std::uint32_t>(text.size())});
    out.insert(out.end(), text.begin(), text.end());
    while (out.size() % 4 != 0) {
        out.push_back(0);
    }
}

// A raw ONC RPC client of one program on one connection.
class RpcClient {
public:
    explicit RpcClient(std::uint16_t port, std::uint32_t program = kCoreProgram)
        : fd(ConnectTo(port)), program(program) {}
    ~RpcClient() { Close(); }
    RpcClient(const RpcClient&) = delete;
    RpcClient& operator=(const RpcClient&) = delete;

    void Close() {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
    // Sends procedure with the argument bytes; returns the reply record (mark included).
    Bytes Call(std::uint32_t procedure, const Bytes& arguments, int timeoutMs = 30000, std::uint32_t version = 1) {
        Bytes body = CallBody(++xid, program, version, procedure);
        body.insert(body.end(), arguments.begin(), arguments.end());
        if (!WriteAll(fd, Record(body))) {
            return Bytes();
        }
        return ReadRecord(fd, timeoutMs);
    }
    // The result words of a successful reply (after the 28 bytes of mark and header).
    std::vector<std::uint32_t> Results(std::uint32_t procedure, const Bytes& arguments, int timeoutMs = 30000) {
        const Bytes reply = Call(procedure, arguments, timeoutMs);
        std::vector<std::uint32_t> words;
        for (std::size_t offset = 28; offset + 4 <= reply.size(); offset += 4) {
            words.push_back(WordAt(reply, offset));
        }
        return words;
    }

    int fd;
    std::uint32_t program;
    std::uint32_t xid = 100;
};

// The core channel with the VXI-11 procedures by name.
class CoreClient : public RpcClient {
public:
    explicit CoreClient(std::uint16_t port = vxi11_core_port()) : RpcClient(port) {}

    struct Link {
        std::uint32_t error;
        std::uint32_t lid;
        std::uint32_t abortPort;
    };
    Link CreateLink(const std::string& name = "inst0", bool lock = false, std::uint32_t lockTimeout = 0) {
        Bytes arguments = Words({7, lock ? 1u : 0u, lockTimeout});
        PutOpaque(arguments, name);
        const auto r = Results(10, arguments);
        return r.size() >= 4 ? Link{r[0], r[1], r[2]} : Link{0xDEAD, 0, 0};
    }
    // {error, size}
    std::vector<std::uint32_t> Write(std::uint32_t lid, const std::string& data, std::uint32_t flags = 8,
                                     std::uint32_t ioTimeout = 2000, std::uint32_t lockTimeout = 0) {
        Bytes arguments = Words({lid, ioTimeout, lockTimeout, flags});
        PutOpaque(arguments, data);
        return Results(11, arguments);
    }
    struct ReadResult {
        std::uint32_t error = 0xDEAD;
        std::uint32_t reason = 0;
        std::string data;
    };
    ReadResult Read(std::uint32_t lid, std::uint32_t size = 4096, std::uint32_t ioTimeout = 2000,
                    std::uint32_t flags = 0, int waitMs = 15000) {
        const Bytes reply = Call(12, Words({lid, size, ioTimeout, 0, flags, '\n'}), waitMs);
        ReadResult result;
        if (reply.size() >= 40) {
            result.error = WordAt(reply, 28);
            result.reason = WordAt(reply, 32);
            const std::uint32_t length = WordAt(reply, 36);
            if (40 + length <= reply.size()) {
                result.data.assign(reply.begin() + 40, reply.begin() + 40 + length);
            }
        }
        return result;
    }
    std::string Query(std::uint32_t lid, const std::string& text) {
        Write(lid, text);
        return Read(lid).data;
    }
    // {error, stb}
    std::vector<std::uint32_t> ReadStb(std::uint32_t lid, std::uint32_t ioTimeout = 2000) {
        return Results(13, Words({lid, 0, 0, ioTimeout}));
    }
    // The status byte once it requests service (a message is handled after its device_write
    // has ended: the device may not have asked yet).
    std::vector<std::uint32_t> ReadStbSet(std::uint32_t lid) {
        std::vector<std::uint32_t> result = ReadStb(lid);
        for (int i = 0; i < 200 && result.size() == 2 && result[0] == 0 && (result[1] & 0x40) == 0; ++i) {
            usleep(10000);
            result = ReadStb(lid);
        }
        return result;
    }
    // Device_GenericParms procedures (14 trigger, 15 clear, 16 remote, 17 local); the error.
    std::uint32_t Generic(std::uint32_t procedure, std::uint32_t lid, std::uint32_t ioTimeout = 2000) {
        return First(Results(procedure, Words({lid, 0, 0, ioTimeout})));
    }
    std::uint32_t Lock(std::uint32_t lid, std::uint32_t flags = 0, std::uint32_t lockTimeout = 0) {
        return First(Results(18, Words({lid, flags, lockTimeout})));
    }
    std::uint32_t Unlock(std::uint32_t lid) { return First(Results(19, Words({lid}))); }
    std::uint32_t EnableSrq(std::uint32_t lid, bool enable, const std::string& handle) {
        Bytes arguments = Words({lid, enable ? 1u : 0u});
        PutOpaque(arguments, handle);
        return First(Results(20, arguments));
    }
    std::uint32_t DestroyLink(std::uint32_t lid) { return First(Results(23, Words({lid}))); }
    Bytes CreateIntrChanReply(std::uint16_t port, std::uint32_t family, std::uint32_t program = kIntrProgram,
                              std::uint32_t version = 1) {
        return Call(25, Words({kLoopback, port, program, version, family}));
    }
    std::uint32_t CreateIntrChan(std::uint16_t port, std::uint32_t family) {
        return WordAt(CreateIntrChanReply(port, family), 28);
    }
    std::uint32_t DestroyIntrChan() { return First(Results(26, Bytes())); }

private:
    static std::uint32_t First(const std::vector<std::uint32_t>& words) { return words.empty() ? 0xDEAD : words[0]; }
};

// The engine with the VXI-11 server (fake USB server beside it) and the test device open.
class Vxi11ServerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_OWN_NETWORK();
        ClearLog();
        vxi11_set_log_sink(&CaptureLog);
        Korvex::FakeServers::Install();
        vxi11_install_server_builder();
        ASSERT_EQ(Korvex::zo_device_start_tcpip_server(), 0);
        ASSERT_EQ(device.OpenVxi11(), 0u);
        started = true;
    }
    void TearDown() override {
        if (started) {
            device.CloseVxi11();
            Korvex::zo_device_stop_tcpip_server();
        }
        vxi11_set_log_sink(nullptr);
    }

    Korvex::Vxi11TestDevice device;
    bool started = false;
};
