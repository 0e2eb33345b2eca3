// A physical interface driven by a test thread playing the host: HostWrite delivers a
// message chunk by chunk as the session arms its input buffer, HostRead collects a
// response. The transport hold is a real exclusion: while held no delivery starts; a hold
// on the delivering thread returns at once, from another thread once the delivery ended.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "engine/session/PhysicalInterface.h"

namespace Korvex {

class FakeTransport : public CPhysicalInterface {
public:
    enum : std::uint32_t { kReasonChr = 2, kReasonEnd = 4 };

    explicit FakeTransport(CPhysicalInterfaceFactory* factory = nullptr);
    ~FakeTransport() override;

    // ---- test settings ----
    std::uint32_t chunkLimit = 0;       // 0: no limit
    std::uint32_t inputSize = 0;        // internal buffer sizes wanted
    std::uint32_t outputSize = 0;
    std::uint8_t termCharEnabled = 0;
    std::uint8_t termChar = 10;
    bool failStartReceive = false;
    bool failSrqReports = false;        // slots 29/30 fail

    // ---- host side (test thread) ----
    // Writes bytes; false when the device did not take them within timeoutMs.
    bool HostWrite(const std::string& bytes, bool end, int timeoutMs = 30000);
    // Reads at most max bytes; *reason gets kReasonEnd / kReasonChr.
    std::string HostRead(std::uint32_t max, std::uint32_t* reason, int timeoutMs = 30000);
    void HostTrigger();
    void HostDeviceClear();
    // Device clear that returns once the device finished it (slot 13); false on time-out.
    bool HostDeviceClearAndWait(int timeoutMs = 30000);
    // Serial poll: begins, waits for the status byte (slot 31), ends. -1 on time-out.
    int HostSerialPoll(int timeoutMs = 30000);
    void HostRemoteLocal(std::uint32_t value);
    // NotifyDeviceEventOutside from the calling thread (a manager thread).
    void ManagerDeviceEvent(std::uint32_t code) { NotifyDeviceEventOutside(code); }
    void HostDeviceEvent(std::uint32_t code);
    // Delivers an OnInputReceived of count bytes (for bad counts).
    void HostReportInput(std::uint32_t count, bool end);

    bool Held();
    std::uint32_t Violations();
    std::uint32_t ClearsFinished();
    std::uint32_t Closes();
    // SRQ line (slots 29/30) and how often it changed.
    bool SrqLine();
    std::uint32_t SrqAssertions();
    std::uint32_t SrqReleases();

    // ---- transport operations ----
    std::uint8_t IsActive() override;
    void Open(const void* settings, std::uint32_t* status) override;
    void Close(std::uint32_t* status) override;
    void ReleaseTransport(std::uint32_t* status) override;
    void HoldTransport(std::uint32_t* status) override;
    void EnableTrigger(std::uint32_t* status) override { *status = 0; }
    void DisableTrigger(std::uint32_t* status) override { *status = 0; }
    void EnableRemoteLocalReports(std::uint32_t* status) override { *status = 0; }
    void DisableRemoteLocalReports(std::uint32_t* status) override { *status = 0; }
    void RequestInputNotification(std::uint32_t* status) override;
    void ClearFinished(std::uint32_t* status) override;
    void TransportOperation(std::uint32_t* status) override { *status = 0; }
    std::uint32_t InputBufferSize() override { return inputSize; }
    std::uint32_t OutputBufferSize() override { return outputSize; }
    void StartReceive(CMessageDescriptor* descriptor, std::uint32_t* status) override;
    void CancelReceive(std::uint32_t* count, std::uint8_t* end, std::uint32_t* status) override;
    void StartSend(CMessageDescriptor* descriptor, std::uint8_t chr, std::uint8_t end,
                   std::uint32_t* status) override;
    void CancelSend(std::uint32_t* count, std::uint32_t* status) override;
    std::uint8_t IsReceiving() override;
    std::uint8_t IsSending() override;
    void LimitChunk(CMessageDescriptor* descriptor) override;
    std::uint8_t TermCharEnabled() override { return termCharEnabled; }
    std::uint8_t TermChar() override { return termChar; }
    std::uint8_t TransportState() override { return 1; }
    void SrqAsserted(std::uint32_t* status) override;
    void SrqReleased(std::uint32_t* status) override;
    void StatusByte(std::uint8_t stb, std::uint32_t* status) override;

private:
    template <typename Fn>
    void Deliver(Fn fn);
    template <typename Pred>
    void Spin(std::unique_lock<std::mutex>& lock, Pred pred);
    template <typename Pred>
    bool WaitFor(std::unique_lock<std::mutex>& lock, int timeoutMs, Pred pred);

    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_active = false;
    bool m_held = false;
    bool m_delivering = false;
    std::thread::id m_deliveryThread;
    std::uint32_t m_violations = 0;
    std::uint32_t m_clearsFinished = 0;
    std::uint32_t m_closes = 0;
    bool m_notify = false;
    CMessageDescriptor* m_armedInput = nullptr;
    CMessageDescriptor* m_armedOutput = nullptr;
    std::uint8_t m_armedChr = 0;
    std::uint8_t m_armedEnd = 0;
    bool m_writing = false;
    std::uint32_t m_readRemaining = 0;
    bool m_srqLine = false;
    std::uint32_t m_srqAssertions = 0;
    std::uint32_t m_srqReleases = 0;
    int m_polledByte = -1;
};

} // namespace Korvex
