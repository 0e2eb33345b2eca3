// Engine start-up and the session functions.
//
// Top level (0 success, -1 failure), serialised by one engine-wide mutex:
// zo_device_initialize, zo_device_start/stop_tcpip_server, zo_device_start/stop_usb_server.
// A server is started through the builder that its transport installed for its kind
// (1 VXI-11, 2 USB): start builds the server and registers its factory, stop undoes it.
// Without a builder a start returns -1 and changes nothing. A failed start undoes only
// its own work (the builder's job); a server of that kind already running keeps running.
//
// Session functions take their status out-parameter last and write full codes.
#pragma once

#include <cstdint>

#include "engine/session/EventQueue.h"

namespace Korvex {

class CPhysicalInterface;
class CPhysicalInterfaceFactory;
class CZoDeviceInterface;
struct ZoOpenDescriptor;

constexpr std::uint32_t kServerKindVxi11 = 1;
constexpr std::uint32_t kServerKindUsb = 2;
constexpr std::uint32_t kEngineApiVersion = 0x01050000;
constexpr std::uint32_t kInternalVersion = 0x01060000;

// What a transport installs to bring its server up and down.
struct ZoServerBuilder {
    // Builds the server and registers its factory; status 0, or a failure after undoing
    // what this start did.
    void (*start)(std::uint32_t* status);
    // Unregisters the factory and destroys the server.
    void (*stop)();
};

// Installs (null: removes) the builder of a server kind. Not while that server runs.
void zo_device_set_server_builder(std::uint32_t kind, const ZoServerBuilder* builder);

// ---- top level ----
int zo_device_initialize();
int zo_device_start_tcpip_server();
int zo_device_start_usb_server();
int zo_device_stop_tcpip_server();
int zo_device_stop_usb_server();

// ---- interface objects and sessions ----
CZoDeviceInterface* zo_device_create_session(std::uint32_t version,
                                             const ZoOpenDescriptor* descriptor,
                                             std::uint32_t interfaceArgument,
                                             std::uint32_t* status);
void zo_device_remove_session(CZoDeviceInterface* deviceInterface, std::uint32_t* status);
void zo_device_check_internal_version(std::uint32_t version, std::uint32_t* status);
void zo_device_open_session(std::uint32_t* handle, const ZoOpenDescriptor* descriptor,
                            std::uint32_t interfaceArgument, std::uint32_t* status);
void zo_device_close_session(std::uint32_t handle, std::uint32_t* status);

// ---- server registry ----
void zo_device_register_server(std::uint32_t kind, std::uint32_t version,
                               CPhysicalInterfaceFactory* factory, std::uint32_t* status);
void zo_device_unregister_server(std::uint32_t kind);

// ---- forwarders: handle first, status last ----
void zo_device_session_open_interface(std::uint32_t handle, const void* settings,
                                      std::uint32_t* status);
void zo_device_session_close_interface(std::uint32_t handle, std::uint32_t* status);
void zo_device_session_register_event(std::uint32_t handle, std::uint32_t index,
                                      EventHandler handler, void* context,
                                      std::uint32_t* status);
void zo_device_session_clear_event_handler(std::uint32_t handle, std::uint32_t index,
                                           std::uint32_t* status);
void zo_device_session_get_event(std::uint32_t handle, std::uint8_t blocking,
                                 EventRecord* record, std::uint32_t* status);
void zo_device_session_abort_event_wait(std::uint32_t handle, std::uint32_t* status);
void zo_device_session_event_done(std::uint32_t handle, std::uint32_t code,
                                  std::uint32_t result, std::uint32_t* status);
void zo_device_session_enable_input_queue(std::uint32_t handle, std::uint8_t* data,
                                          std::uint32_t size, std::uint32_t* status);
void zo_device_session_disable_input_queue(std::uint32_t handle, std::uint32_t* status);
void zo_device_session_queue_response(std::uint32_t handle, const std::uint8_t* data,
                                      std::uint32_t count, std::uint8_t end,
                                      std::uint32_t* status);
void zo_device_session_cancel_response(std::uint32_t handle, std::uint32_t* status);
void zo_device_session_query_detected(std::uint32_t handle, std::uint32_t* status);
void zo_device_session_input_processed(std::uint32_t handle, std::uint32_t* status);
void zo_device_session_take_pending_trigger(std::uint32_t handle, std::uint32_t* status);
void zo_device_session_set_fetch_elsewhere(std::uint32_t handle, std::uint8_t waiting,
                                           std::uint8_t stillArmed, std::uint32_t* status);
void zo_device_session_slot17(std::uint32_t handle, std::uint32_t* status);
void zo_device_session_slot18(std::uint32_t handle, std::uint32_t* status);
void zo_device_session_report_unterminated(std::uint32_t handle, std::uint32_t* status);
void zo_device_session_set_status_byte(std::uint32_t handle, std::uint8_t stb,
                                       std::uint32_t* status);
void zo_device_session_request_service(std::uint32_t handle, std::uint32_t* status);
void zo_device_session_clear_service_request(std::uint32_t handle, std::uint32_t* status);
void zo_device_session_slot23(std::uint32_t handle, std::uint32_t* status);
void zo_device_session_enable_relaxed_mode(std::uint32_t handle, std::uint32_t* status);
void zo_device_session_disable_relaxed_mode(std::uint32_t handle, std::uint32_t* status);

} // namespace Korvex
