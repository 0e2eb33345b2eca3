// The two interfaces through which the service-request machine and the status-byte holder
// reach their physical interface.
//
// The callers pre-set the status to ZODEVICE_STATUS_DRIVER_FAULT: an implementation writes
// 0 when it succeeded, else its failure.
#pragma once

#include <cstdint>

namespace Korvex {

// What the service-request machine tells its physical interface.
class CServiceRequestStateMachineEventObserver {
public:
    virtual ~CServiceRequestStateMachineEventObserver() = default;
    // The transport must assert its service request.
    virtual void OnSrqAsserted(std::uint32_t* status) = 0;
    // The transport must release its service request.
    virtual void OnSrqReleased(std::uint32_t* status) = 0;
    // The status byte (RQS included) that answers the serial poll under way.
    virtual void OnStatusByte(std::uint8_t stb, std::uint32_t* status) = 0;
};

// What the status-byte holder asks of its physical interface.
class CStatusByteStateMachineEventObserver {
public:
    virtual ~CStatusByteStateMachineEventObserver() = default;
    // A serial poll waits for the device's status byte: post the status-byte request
    // event (index 7, code 36) to the session. A status that is not 0 tells the holder
    // that no request reached the device.
    virtual void OnStatusByteRequest(std::uint32_t* status) = 0;
};

} // namespace Korvex
