// Test-only RPC server: a mini portmapper on 127.0.0.1 (port 111, or the port given) that
// announces a core-channel listener whose connections are served with the PROC_UNAVAIL table.
// Prints "core <port>" and "portmapper <port>", then serves until it is killed.
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "engine/os/OSSocket.h"
#include "engine/vxi11/InstrumentServer.h"
#include "engine/vxi11/MiniPortMapper.h"

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;

void Serve(int descriptor) {
    COSSocket accepted;
    std::uint32_t status = 0;
    accepted.Adopt(descriptor, &status);
    CCoreChannelRecord record;
    CInstrumentServer::InitProcedureTable(record, nullptr, accepted);
    if (record.initFailed == 0) {
        CInstrumentServer::ServeRpcRequests(record);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint16_t mapperPort =
        static_cast<std::uint16_t>(argc > 1 ? std::strtoul(argv[1], nullptr, 10) : CMiniPortMapper::kPort);
    COSSocket listener;
    std::uint32_t status = 0;
    listener.CreateTcp(&status);
    if (status == 0) {
        listener.Listen(kLoopback, 0, &status);
    }
    if (status != 0) {
        std::fprintf(stderr, "rpc_test_server: cannot listen\n");
        return 1;
    }
    CMiniPortMapper mapper(kLoopback, listener.LocalPort(), &status, mapperPort);
    if (status != 0) {
        std::fprintf(stderr, "rpc_test_server: portmapper failed: %#x\n", status);
        return 1;
    }
    std::printf("core %u\nportmapper %u\n", listener.LocalPort(), mapper.Port());
    std::fflush(stdout);
    for (;;) {
        COSSocket accepted;
        accepted.Accept(listener, &status);
        if (status != 0) {
            return 1;
        }
        std::thread(Serve, accepted.Release()).detach();
    }
}
