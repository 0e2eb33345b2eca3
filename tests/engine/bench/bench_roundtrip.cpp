// Round trips per second ("*IDN?" written with END, the answer read back) through the
// fake transport and a TestDevice, with 1 and with 8 sessions each driven by its own
// host thread.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "TestDevice.h"
#include "engine/api/ZoDeviceApi.h"

using namespace Korvex;

namespace {

double Run(int sessions, int tripsPerSession)
{
    std::vector<std::unique_ptr<TestDevice>> devices;
    for (int i = 0; i < sessions; ++i) {
        devices.push_back(std::make_unique<TestDevice>());
        if (devices.back()->OpenTcpIp() != 0) {
            std::fprintf(stderr, "open failed\n");
            return 0;
        }
    }
    std::atomic<int> failures{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> hosts;
    for (int i = 0; i < sessions; ++i) {
        FakeTransport* host = devices[i]->Transport();
        hosts.emplace_back([host, tripsPerSession, &failures] {
            for (int trip = 0; trip < tripsPerSession; ++trip) {
                std::uint32_t reason = 0;
                if (!host->HostWrite("*IDN?", true) ||
                    host->HostRead(64, &reason) != "*IDN?=OK") {
                    ++failures;
                    return;
                }
            }
        });
    }
    for (std::thread& host : hosts) {
        host.join();
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (failures.load() != 0) {
        std::fprintf(stderr, "%d sessions failed\n", failures.load());
    }
    return sessions * tripsPerSession / elapsed.count();
}

} // namespace

int main()
{
    FakeServers::Install();
    if (zo_device_start_tcpip_server() != 0) {
        std::fprintf(stderr, "server start failed\n");
        return 1;
    }
    Run(1, 2000);  // warm-up
    const double one = Run(1, 50000);
    const double eight = Run(8, 20000);
    std::printf("1 session:  %.0f round trips/s\n", one);
    std::printf("8 sessions: %.0f round trips/s\n", eight);
    return one >= 20000 ? 0 : 2;
}
