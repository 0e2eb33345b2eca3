#include "engine/vxi11/Vxi11ServerBuilder.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <ctime>

#include "engine/api/ZoDeviceApi.h"
#include "engine/os/Allocator.h"
#include "engine/vxi11/InstrumentServerManager.h"
#include "engine/vxi11/Vxi11Log.h"
#include "engine/vxi11/Vxi11PhysicalInterfaceManager.h"
#include "engine/vxi11/Vxi11Registry.h"

namespace {

constexpr std::uint32_t kExistsOrFailed = 8;
constexpr std::uint32_t kNotCreated = 5;

std::atomic<std::uint32_t> g_bindAddress{0x7F000001u};
std::atomic<std::uint16_t> g_corePort{0};
std::atomic<void (*)(std::uint16_t, bool)> g_startedSink{nullptr};

// The objects of the running server (the engine serialises start and stop).
CVxi11Registry* g_registry = nullptr;
CVxi11PhysicalInterfaceManager* g_interfaces = nullptr;
CInstrumentServerManager* g_servers = nullptr;

// Stop order: the server manager (connections end, links go), the interface manager (its
// interfaces close, which reaches the registry), the registry last.
void Destroy() {
    g_corePort.store(0);
    EngineDelete(g_servers);
    g_servers = nullptr;
    EngineDelete(g_interfaces);
    g_interfaces = nullptr;
    EngineDelete(g_registry);
    g_registry = nullptr;
}

void Fail(std::uint32_t code, const char* cause, std::uint32_t* status) {
    Vxi11Log("VXI-11 server start failed: %s", cause);
    Destroy();
    *status = code;
}

std::uint32_t Seed() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::uint32_t>(now.tv_nsec) ^ static_cast<std::uint32_t>(now.tv_sec) ^
           (static_cast<std::uint32_t>(getpid()) << 16);
}

void Start(std::uint32_t* status) {
    if (g_registry != nullptr || g_interfaces != nullptr || g_servers != nullptr) {
        // Another start's objects: left alone.
        Vxi11Log("VXI-11 server start failed: it runs already");
        *status = kExistsOrFailed;
        return;
    }
    std::uint32_t made = 0;
    g_interfaces = EngineNew<CVxi11PhysicalInterfaceManager>(&made);
    if (g_interfaces == nullptr || made != 0) {
        Fail(g_interfaces == nullptr ? kNotCreated : kExistsOrFailed, "no interface manager", status);
        return;
    }
    g_registry = EngineNew<CVxi11Registry>(g_interfaces, Seed(), &made);
    if (g_registry == nullptr || made != 0) {
        Fail(g_registry == nullptr ? kNotCreated : kExistsOrFailed, "no link registry", status);
        return;
    }
    g_servers = EngineNew<CInstrumentServerManager>(g_interfaces, g_bindAddress.load());
    // Controllers learn the core channel's port only once an interface accepts links.
    g_interfaces->SetOpenListener([] {
        if (g_servers != nullptr) {
            g_servers->Announce();
        }
    });
    if (g_servers == nullptr) {
        Fail(kNotCreated, "out of memory", status);
        return;
    }
    if (g_servers->InitFailed() != 0) {
        Fail(kExistsOrFailed, g_servers->FailureCause(), status);
        return;
    }
    std::uint32_t registered = 0;
    Korvex::zo_device_register_server(Korvex::kServerKindVxi11, Korvex::kInternalVersion, g_interfaces,
                                      &registered);
    if (registered != 0) {
        Fail(kExistsOrFailed, "server kind 1 could not be registered", status);
        return;
    }
    g_corePort.store(g_servers->Port());
    if (void (*started)(std::uint16_t, bool) = g_startedSink.load()) {
        started(g_servers->Port(), g_servers->ServesPortMapper());
    }
    *status = 0;
}

void Stop() {
    Korvex::zo_device_unregister_server(Korvex::kServerKindVxi11);
    Destroy();
}

}  // namespace

void vxi11_install_server_builder() {
    static const Korvex::ZoServerBuilder builder{&Start, &Stop};
    Korvex::zo_device_set_server_builder(Korvex::kServerKindVxi11, &builder);
}

void vxi11_set_bind_address(const char* ipv4) {
    in_addr parsed{};
    if (ipv4 != nullptr && inet_pton(AF_INET, ipv4, &parsed) == 1) {
        g_bindAddress.store(ntohl(parsed.s_addr));
    }
}

std::uint32_t vxi11_bind_address() { return g_bindAddress.load(); }

std::uint16_t vxi11_core_port() { return g_corePort.load(); }

void vxi11_set_started_sink(void (*sink)(std::uint16_t corePort, bool ownPortmapper)) { g_startedSink.store(sink); }
