#include "usb/transport/UsbServerBuilder.h"

#include "engine/api/ZoDeviceApi.h"
#include "engine/os/Allocator.h"
#include "usb/transport/UsbPhysicalInterfaceManager.h"

namespace {

constexpr std::uint32_t kExistsOrFailed = 8;
constexpr std::uint32_t kNotCreated = 5;

// The manager of the running server (the engine serialises start and stop).
Korvex::CUsbPhysicalInterfaceManager* g_manager = nullptr;

void Destroy()
{
    EngineDelete(g_manager);
    g_manager = nullptr;
}

void Start(std::uint32_t* status)
{
    if (g_manager != nullptr) {
        *status = kExistsOrFailed;
        return;
    }
    std::uint32_t made = 0;
    g_manager = EngineNew<Korvex::CUsbPhysicalInterfaceManager>(&made);
    if (g_manager == nullptr || made != 0) {
        *status = g_manager == nullptr ? kNotCreated : kExistsOrFailed;
        Destroy();
        return;
    }
    std::uint32_t registered = 0;
    Korvex::zo_device_register_server(Korvex::kServerKindUsb, Korvex::kInternalVersion, g_manager,
                                      &registered);
    if (registered != 0) {
        *status = kExistsOrFailed;
        Destroy();
        return;
    }
    *status = 0;
}

void Stop()
{
    Korvex::zo_device_unregister_server(Korvex::kServerKindUsb);
    Destroy();
}

}  // namespace

void usb_install_server_builder()
{
    static const Korvex::ZoServerBuilder builder{&Start, &Stop};
    Korvex::zo_device_set_server_builder(Korvex::kServerKindUsb, &builder);
}

Korvex::CUsbPhysicalInterfaceManager* usb_server_manager()
{
    return g_manager;
}
