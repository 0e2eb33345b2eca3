// The interface object of a device: a session handle and, when asked for, the session's
// event observer thread. The slots pass to the session through the session functions.
#pragma once

#include <cstdint>

#include "engine/api/ZoDeviceInterface.h"

namespace Korvex {

class CEventObserver;

class CFunctionCallInterface : public CZoDeviceInterface {
public:
    static constexpr std::uint32_t kNoHandle = 0xFFFFFFFF;

    // Checks the internal version and opens a session handle for the descriptor.
    CFunctionCallInterface(const ZoOpenDescriptor* descriptor, std::uint32_t interfaceArgument);
    // Stops the event observer (if any), then closes the session handle.
    ~CFunctionCallInterface() override;

    bool IsValid(std::uint32_t* status) override;
    void Open(const void* settings, std::uint32_t* status) override;
    void Close(std::uint32_t* status) override;
    void StartEventDispatching(std::uint32_t* status) override;
    void SetEventHandler(std::uint32_t index, EventHandler handler, void* context,
                         std::uint32_t* status) override;
    void ClearEventHandler(std::uint32_t index, std::uint32_t* status) override;
    void GetEvent(std::uint8_t blocking, EventRecord* record, std::uint32_t* status) override;
    void AbortEventWait(std::uint32_t* status) override;
    void RunEventHandler(EventRecord* record, std::uint32_t* status) override;
    void SetInputBuffer(std::uint8_t* data, std::uint32_t size, std::uint32_t* status) override;
    void DisableInputQueue(std::uint32_t* status) override;
    void SendOutput(const std::uint8_t* data, std::uint32_t count, std::uint8_t end,
                    std::uint32_t* status) override;
    void CancelResponse(std::uint32_t* status) override;
    void QueryDetected(std::uint32_t* status) override;
    void InputProcessed(std::uint32_t* status) override;
    void TakePendingTrigger(std::uint32_t* status) override;
    void SetFetchElsewhere(bool waiting, bool stillArmed, std::uint32_t* status) override;
    void EndMessageDone(std::uint32_t* status) override;
    void ReportBufferFull(std::uint32_t* status) override;
    void ReportUnterminated(std::uint32_t* status) override;
    void SetStatusByte(std::uint8_t stb, std::uint32_t* status) override;
    void RequestService(std::uint32_t* status) override;
    void ClearServiceRequest(std::uint32_t* status) override;
    void CheckInterface(std::uint32_t* status) override;
    void EnableRelaxedMode(std::uint32_t* status) override;
    void DisableRelaxedMode(std::uint32_t* status) override;
    bool OnObserverThread() const override;

    std::uint32_t GetHandle() const { return m_handle; }

private:
    std::uint32_t m_handle = kNoHandle;
    CEventObserver* m_observer = nullptr;
    std::uint8_t m_valid = 0;
    std::uint32_t m_constructionStatus = 0x543FF;
};

} // namespace Korvex
