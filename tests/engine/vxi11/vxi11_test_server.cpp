// VXI-11 server for real-client checks and the benchmark: starts the engine and the VXI-11
// server (portmapper on port 111 of the bind address, or registration with the portmapper
// found there), opens the test device as "inst0" and prints "ready <core port>". SIGTERM or
// SIGINT closes the device, stops the server and exits 0.
//
// Usage: vxi11_test_server [--bind IPV4]   (default 127.0.0.1)
#include <signal.h>

#include <cstdio>
#include <cstring>

#include "engine/TestDevice.h"
#include "engine/api/ZoDeviceApi.h"
#include "engine/vxi11/Vxi11ServerBuilder.h"

int main(int argc, char** argv) {
    const char* bind = "127.0.0.1";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--bind") == 0 && i + 1 < argc) {
            bind = argv[++i];
        } else {
            std::fprintf(stderr, "usage: vxi11_test_server [--bind IPV4]\n");
            return 2;
        }
    }
    // Every thread inherits the mask; the signals are taken by sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    vxi11_set_bind_address(bind);
    vxi11_install_server_builder();
    if (Korvex::zo_device_initialize() != 0 || Korvex::zo_device_start_tcpip_server() != 0) {
        std::fprintf(stderr, "vxi11_test_server: the VXI-11 server did not start\n");
        return 1;
    }
    int result = 0;
    {
        Korvex::Vxi11TestDevice device;
        const auto status = device.OpenVxi11();
        if (status != 0) {
            std::fprintf(stderr, "vxi11_test_server: the device did not open: %#x\n", static_cast<unsigned>(status));
            result = 1;
        } else {
            std::printf("ready %u\n", static_cast<unsigned>(vxi11_core_port()));
            std::fflush(stdout);
            int received = 0;
            sigwait(&stopSignals, &received);
        }
        device.CloseVxi11();
    }
    Korvex::zo_device_stop_tcpip_server();
    return result;
}
