// An endpoint as the device manager and the interface classes see it (CUsbEndpoint), and the
// operations the controller adds for its own endpoints (CUsbControllerEndpoint).
//
// Kinds: 0 control (the default endpoint), 1 bulk IN, 2 bulk OUT, 3 interrupt IN. Speeds:
// 2 full speed, 3 high speed. Every operation takes the status last and returns at once when
// it already holds a failure.
#pragma once

#include <cstdint>

#include "engine/buffer/ByteBuffer.h"
#include "usb/core/UsbEventObservers.h"

namespace Korvex {

enum : std::uint32_t {
    kUsbEndpointControl = 0,
    kUsbEndpointBulkIn = 1,
    kUsbEndpointBulkOut = 2,
    kUsbEndpointInterruptIn = 3,
};

enum : std::uint32_t {
    kUsbFullSpeed = 2,
    kUsbHighSpeed = 3,
};

class CUsbEndpoint {
public:
    // The address is number | 0x80 for the IN kinds (1, 3).
    CUsbEndpoint(std::uint8_t configuration, std::uint8_t interfaceNumber,
                 std::uint8_t alternate, std::uint8_t number, std::uint32_t kind,
                 CUsbEndpointEventObserver* observer);
    virtual ~CUsbEndpoint() = default;
    CUsbEndpoint(const CUsbEndpoint&) = delete;
    CUsbEndpoint& operator=(const CUsbEndpoint&) = delete;

    virtual std::uint16_t GetMaxPacketSize(std::uint32_t speed) = 0;
    // Maximum-packet value for a speed (default: 0x54372, not supported).
    virtual void SetMaxPacketProperty(std::uint32_t speed, std::uint16_t value,
                                      std::uint32_t* status);
    // Polling interval for a speed (bInterval); 0 for endpoints without one.
    virtual std::uint8_t GetInterval(std::uint32_t speed) = 0;
    virtual void SetInterval(std::uint32_t speed, std::uint8_t value, std::uint32_t* status);
    // Receive into a chain of buffers (default: 0x543FF).
    virtual void StartReceive(CByteBuffer* chain, std::uint32_t* status);
    // For the next receive only: the bytes the host's transfer still owes when it starts (0: not
    // known, the receive may begin a transfer) and the padding bytes that may follow them. A
    // packet that cannot continue the transfer begins the host's next one: a short packet
    // shorter than what is owed (a short packet ends a transfer), or any packet longer than
    // what is owed and its padding. Default: ignored.
    virtual void ExpectTransferRest(std::uint32_t bytes, std::uint32_t padding);
    // Send a chain of buffers (default: 0x543FF).
    virtual void StartSend(CByteBuffer* chain, std::uint32_t* status);
    // Ends a running transfer; returns the bytes it moved.
    virtual std::uint32_t Abort(std::uint32_t* status) = 0;
    virtual bool IsTransferDone(std::uint32_t* status) = 0;
    virtual void Flush(std::uint32_t* status) = 0;
    // Finishes a control request without data stage (default: 0x543FF).
    virtual void FinishRequest(std::uint32_t* status);
    // Halt by the function (bulk and interrupt); the control endpoint stalls the request.
    virtual void Halt(std::uint32_t* status) = 0;
    // The function's own clear of its halt: clears halted-by-function, then the stall.
    virtual void ClearHalt(std::uint32_t* status) = 0;

    std::uint8_t GetConfiguration() const { return m_configuration; }
    std::uint8_t GetInterfaceNumber() const { return m_interfaceNumber; }
    std::uint8_t GetAlternateSetting() const { return m_alternate; }
    std::uint8_t GetAddress() const { return m_address; }
    std::uint32_t GetKind() const { return m_kind; }
    CUsbEndpointEventObserver* GetObserver() const { return m_observer; }
    std::uint32_t GetTransferState() const { return m_transferState; }

protected:
    std::uint8_t m_configuration;
    std::uint8_t m_interfaceNumber;
    std::uint8_t m_alternate;
    std::uint8_t m_address;
    std::uint32_t m_kind;
    CUsbEndpointEventObserver* m_observer;
    std::uint32_t m_transferState = 0;
};

class CUsbControllerEndpoint : public CUsbEndpoint {
public:
    using CUsbEndpoint::CUsbEndpoint;

    // Programs the hardware endpoint for use.
    virtual void Configure(std::uint32_t* status) = 0;
    // Leaves the configuration: a running transfer is ended and reported with code 3.
    virtual void Deactivate(std::uint32_t* status) = 0;
    virtual void SetStall(std::uint32_t* status) = 0;
    virtual bool IsStalled(std::uint32_t* status) = 0;
    // The host's clear; refused with 0x543A3 while the function halted the endpoint.
    virtual void ClearStall(std::uint32_t* status) = 0;
    virtual bool IsInterruptPending() = 0;
    virtual void Service(std::uint32_t* status) = 0;
};

} // namespace Korvex
