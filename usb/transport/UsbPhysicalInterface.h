// The USB transport of the instrument-server engine: a CPhysicalInterface on one
// USBTMC-USB488 class. Nearly every operation forwards to the class; the interface itself
// registers the class with the USB device manager on Open and takes it off on destruction.
//
// Transport hold: a level, not a count. held = 1 stands for one disable of the device
// manager's asynchronous event dispatching: Hold disables when not held (inside a pass it
// does not wait), Release enables when held (never waits). Open takes over the disable
// that the class registration adds as its level; the destructor and a second Open release
// the level before unregistering.
//
// It observes its ledger: when another interface's FETC? begins to wait for bus triggers, the
// class listens for a TRIGGER behind a request being answered (see CUsb488BulkManager).
//
// Close from inside a pass of the interrupt service (a failed delivery makes the engine
// close the interface at once) only marks the interface closed; stopping the device and
// unconfiguring the class wait until the interface is closed again from outside a pass
// (the manager does it after the pass), so the class stays bound while its handler runs.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/session/PhysicalInterface.h"

namespace Korvex {

class CUsb488Class;
class CUsbDeviceManager;
class CUsbInterfaceClassIoManager;

class CUsbPhysicalInterface : public CPhysicalInterface {
public:
    static constexpr std::uint32_t kBufferSize = 4096;

    // Binds the class to this interface when the status is still 0.
    CUsbPhysicalInterface(CUsbDeviceManager* deviceManager, CUsb488Class* usbClass,
                          CPhysicalInterfaceFactory* factory, std::uint32_t index,
                          std::uint32_t serverKind, std::uint32_t* status);
    // Releases the level and unregisters a registered class.
    ~CUsbPhysicalInterface() override;

    CUsb488Class* GetClass() const { return m_class; }
    CUsbDeviceManager* GetDeviceManager() const { return m_deviceManager; }
    // A Close made inside a pass has left its stop and unconfigure to be done.
    bool ClosePending() const { return m_closePending.load(); }
    // Stops and unconfigures after a Close made inside a pass (outside a pass).
    void FinishClose();

    std::uint8_t IsActive() override;
    void Open(const void* settings, std::uint32_t* status) override;
    void Close(std::uint32_t* status) override;
    void ReleaseTransport(std::uint32_t* status) override;
    void HoldTransport(std::uint32_t* status) override;
    void EnableTrigger(std::uint32_t* status) override;
    void DisableTrigger(std::uint32_t* status) override;
    void EnableRemoteLocalReports(std::uint32_t* status) override;
    void DisableRemoteLocalReports(std::uint32_t* status) override;
    void RequestInputNotification(std::uint32_t* status) override;
    void ClearFinished(std::uint32_t* status) override;
    // Return to local.
    void TransportOperation(std::uint32_t* status) override;
    std::uint32_t InputBufferSize() override { return kBufferSize; }
    void AttachInputBuffer(CMessageDescriptor* descriptor, std::uint32_t* status) override;
    void StartReceive(CMessageDescriptor* descriptor, std::uint32_t* status) override;
    void CancelReceive(std::uint32_t* count, std::uint8_t* end, std::uint32_t* status) override;
    std::uint32_t OutputBufferSize() override { return kBufferSize; }
    void AttachOutputBuffer(CMessageDescriptor* descriptor, std::uint32_t* status) override;
    void StartSend(CMessageDescriptor* descriptor, std::uint8_t chr, std::uint8_t end,
                   std::uint32_t* status) override;
    void CancelSend(std::uint32_t* count, std::uint32_t* status) override;
    std::uint8_t IsReceiving() override;
    std::uint8_t IsSending() override;
    void LimitChunk(CMessageDescriptor* descriptor) override;
    std::uint8_t TermCharEnabled() override;
    std::uint8_t TermChar() override;
    std::uint8_t TransportState() override { return 0; }
    void SrqAsserted(std::uint32_t* status) override;
    void SrqReleased(std::uint32_t* status) override;
    void StatusByte(std::uint8_t stb, std::uint32_t* status) override;

private:
    bool InPass() const;
    // Releases the level (if held) and unregisters the class (if registered).
    void Unregister();
    void StopAndUnconfigure(std::uint32_t* status);

    CUsbDeviceManager* m_deviceManager;
    CUsb488Class* m_class;
    CUsbInterfaceClassIoManager* m_registered = nullptr;
    std::atomic<std::uint8_t> m_open{0};
    std::atomic<bool> m_held{false};
    std::atomic<bool> m_closePending{false};
};

} // namespace Korvex
