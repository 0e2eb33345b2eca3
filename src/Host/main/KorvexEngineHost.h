// What the two host-interface classes share: the engine device's callbacks, the input
// buffer posted to the engine, the pending response and the partial input, on top of the
// parser-facing host (CKorvexHost). CKorvexHostEthernet and CKorvexHostUsb add their
// transport's device class and its set-up.
//
// Every callback and every hook runs under the host mutex. Lock order: host mutex, then
// the parser's queue mutex and the status lock.
#pragma once

#include <cstdint>
#include <string>

#include "Host/scpi/host/KorvexHost.h"
#include "Host/scpi/status/ServiceRequester.h"
#include "engine/device/4882Device.h"
#include "engine/device/ZoDeviceBuffer.h"

namespace Korvex {

class CKorvexHostParser;

// Hands a status block's service requests to its session's engine device. A base of the
// host placed before CKorvexHost, so it outlives the status block.
class CEngineServiceRequester : public IServiceRequester {
public:
    explicit CEngineServiceRequester(C4882Device* device) : device(device) {}
    std::uint32_t RequestService() override { return device->RequestService() == 0 ? 0 : 1; }

private:
    C4882Device* device;
};

class CKorvexEngineHost : private CEngineServiceRequester,
                          public CKorvexHost,
                          public virtual C4882Device {
public:
    static constexpr std::uint32_t KindUsb = 0;
    static constexpr std::uint32_t KindEthernet = 1;
    static constexpr std::uint32_t InputBufferSize = 4096;
    static constexpr std::size_t ResponseReserve = 4096;

    // Error rows the callbacks post.
    static constexpr std::uint32_t RowExecutionError = 0x29;    // -200
    static constexpr std::uint32_t RowTriggerError = 0x2d;      // -210
    static constexpr std::uint32_t RowQueryInterrupted = 0x72;  // -410
    static constexpr std::uint32_t RowQueryUnterminated = 0x73; // -420

    std::uint32_t Kind() const { return kind; }
    // The parser this host posts to (the published one when none was given).
    CKorvexHostParser* TargetParser() const;
    // True once construction and the engine set-up succeeded.
    bool Opened() const { return opened != 0; }

    // ---- engine callbacks (event observer thread) ----
    void OnMessageReceived(std::uint32_t reason, CZoDeviceBuffer* buffer) override;
    void OnResponseDone(std::uint32_t reason, CZoDeviceBuffer* buffer) override;
    void OnStatusByteRequest() override;
    void OnDeviceClear() override;
    void OnTrigger() override;
    void OnTriggerWaiting() override;
    void OnRemoteLocalChanged(std::uint32_t value) override;

protected:
    // parser: the parser that receives the messages (null: the published one).
    CKorvexEngineHost(std::uint32_t kind, CKorvexHostParser* parser);
    // The derived destructor has closed the device: drops the host at the parser and at
    // the acquisition controller, then frees the response.
    ~CKorvexEngineHost() override;

    // Whether this part was built whole (input buffer and status block).
    bool HostPartOpened() const { return inputBuffer.valid != 0; }
    // Offers the input buffer to the engine (0, or the engine's refusal); not once the
    // parser's input is closed for a shut-down.
    ZODEVICE_STATUS PostInputBuffer();

    // CKorvexHost's engine hooks.
    std::uint32_t EngineQueryDetected() override;
    const void* EngineQueueResponse(std::string& text) override;
    std::uint32_t EngineInputProcessed() override;

    std::uint8_t opened = 0;

private:
    // Hands a complete message (partial input joined in front) to the parser; false when
    // there is no descriptor. Host mutex held.
    bool PassToParser(CZoDeviceBuffer* buffer);
    // A bus trigger through the acquisition controller. Host mutex held.
    void Trigger();
    // Counts a trigger that waits in the session behind this host's message, when that
    // message waits at the parser behind another host's message that waits for the
    // measurement's results. Host mutex held.
    void CountWaitingTrigger();
    // The reader has begun to wait for the measurement's results (parser thread): every
    // other host's session learns whether it waits for bus triggers, and counts the triggers
    // it has for it; until the message is over (ForgetFetchElsewhere).
    static void OfferWaitingTriggers();
    static void ForgetFetchElsewhere();

    const std::uint32_t kind;
    CKorvexHostParser* const parser;
    C4882Device* const engineDevice;
    CZoDeviceBuffer inputBuffer{InputBufferSize, nullptr};
    CZoDeviceBuffer* response = nullptr;  // queued in the engine, owned here
    // The session was told that another host's FETC? waits for bus triggers (host mutex).
    bool fetchElsewhere = false;
    std::string partialInput;
};

}  // namespace Korvex
