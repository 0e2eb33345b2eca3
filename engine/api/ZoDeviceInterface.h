// What a device object of the application reaches its engine session through. The one
// implementation is CFunctionCallInterface; every operation but IsValid ends in a status
// out-parameter and passes engine statuses on unpublished.
#pragma once

#include <cstdint>

#include "engine/session/EventQueue.h"

namespace Korvex {

// Open descriptor: passed by the transport-specific device classes to C4882Device::Open
// and from there to the transport's physical-interface factory.
struct ZoOpenDescriptor {
    std::uint32_t size;           // 32
    std::uint32_t apiVersion;     // 0x01040000
    std::uint32_t option;         // read only by the transport's factory
    std::uint32_t serverKind;     // 1 VXI-11, 2 USB
    char pluginName[16];
};
static_assert(sizeof(ZoOpenDescriptor) == 32, "open descriptor is 32 bytes");

class CZoDeviceInterface {
public:
    virtual ~CZoDeviceInterface() = default;

    // Copies the construction status out; true when the interface is usable.
    virtual bool IsValid(std::uint32_t* status) = 0;
    virtual void Open(const void* settings, std::uint32_t* status) = 0;
    virtual void Close(std::uint32_t* status) = 0;
    // Starts the event observer thread (0x54350 when there already is one).
    virtual void StartEventDispatching(std::uint32_t* status) = 0;
    virtual void SetEventHandler(std::uint32_t index, EventHandler handler, void* context,
                                 std::uint32_t* status) = 0;
    virtual void ClearEventHandler(std::uint32_t index, std::uint32_t* status) = 0;
    virtual void GetEvent(std::uint8_t blocking, EventRecord* record, std::uint32_t* status) = 0;
    virtual void AbortEventWait(std::uint32_t* status) = 0;
    virtual void RunEventHandler(EventRecord* record, std::uint32_t* status) = 0;
    virtual void SetInputBuffer(std::uint8_t* data, std::uint32_t size,
                                std::uint32_t* status) = 0;
    virtual void DisableInputQueue(std::uint32_t* status) = 0;
    virtual void SendOutput(const std::uint8_t* data, std::uint32_t count, std::uint8_t end,
                            std::uint32_t* status) = 0;
    virtual void CancelResponse(std::uint32_t* status) = 0;
    virtual void QueryDetected(std::uint32_t* status) = 0;
    virtual void InputProcessed(std::uint32_t* status) = 0;
    virtual void TakePendingTrigger(std::uint32_t* status) = 0;
    virtual void SetFetchElsewhere(bool waiting, bool stillArmed, std::uint32_t* status) = 0;
    virtual void EndMessageDone(std::uint32_t* status) = 0;
    virtual void ReportBufferFull(std::uint32_t* status) = 0;
    virtual void ReportUnterminated(std::uint32_t* status) = 0;
    virtual void SetStatusByte(std::uint8_t stb, std::uint32_t* status) = 0;
    virtual void RequestService(std::uint32_t* status) = 0;
    virtual void ClearServiceRequest(std::uint32_t* status) = 0;
    virtual void CheckInterface(std::uint32_t* status) = 0;
    virtual void EnableRelaxedMode(std::uint32_t* status) = 0;
    virtual void DisableRelaxedMode(std::uint32_t* status) = 0;

    // True when called on this interface's event observer thread (inside a callback).
    virtual bool OnObserverThread() const = 0;
};

} // namespace Korvex
