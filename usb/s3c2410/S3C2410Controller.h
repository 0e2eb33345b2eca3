// The USB controller of the S3C2410 USB device block: the register level, the four fixed
// endpoints, and the SIGBUS handler that prints the fault picture and register dump when a
// consistency check of the stack fails.
#pragma once

#include <cstdint>

#include "engine/os/OSUsbDevice.h"
#include "platform/signal/Signal.h"
#include "usb/core/UsbController.h"
#include "usb/s3c2410/S3C2410Endpoints.h"
#include "usb/s3c2410/S3C2410Registers.h"

namespace Korvex {

class CS3C2410Controller : public CUsbController {
public:
    static constexpr std::uint32_t kActiveEndpoints = 4;

    // Installs the SIGBUS handler and attaches vector 25 to the device.
    CS3C2410Controller(COSUsbDevice* device, CUsbExceptionEventObserver* exceptionObserver,
                       std::uint32_t* status);
    ~CS3C2410Controller() override;

    std::uint32_t GetControllerKind() override { return kUsbFullSpeed; }
    void SetAddress(std::uint16_t address, std::uint32_t* status) override;

    CS3C2410Registers* GetRegisters() const { return m_registers; }
    // Interrupt-thread passes that ran (for tests).
    std::uint64_t GetPassCount() const { return m_passes; }

    static void FaultSignalHandler(int signal);

protected:
    void ClearAllInterrupts(std::uint32_t* status) override;
    void Attach(std::uint32_t* status) override;
    void Detach(std::uint32_t* status) override;
    // Unmasks; a software raise pending posts the interrupt thread once more.
    void EnableInterrupts(std::uint32_t* status) override;
    void DisableInterrupts(std::uint32_t* status) override;
    bool IsInterruptOurs() override { return m_registers != nullptr && m_registers->IsAttached(); }
    bool CheckSuspendResume(std::uint32_t* status) override;
    bool CheckReset(std::uint32_t* status) override;
    bool CheckExtraEvent(std::uint32_t*) override { return false; }
    void OnConfigurationSelected(std::uint32_t*) override {}
    void OnConfigurationApplied(std::uint32_t*) override {}
    void OnEndpointsReleased(std::uint32_t*) override {}
    CUsbControllerEndpoint* MakeControlEndpoint(CUsbEndpointEventObserver* observer,
                                                std::uint32_t* status) override;
    CUsbControllerEndpoint* MakeBulkInEndpoint(std::uint8_t configuration,
                                               std::uint8_t interfaceNumber,
                                               std::uint8_t alternate,
                                               CUsbEndpointEventObserver* observer,
                                               std::uint32_t* status) override;
    CUsbControllerEndpoint* MakeBulkOutEndpoint(std::uint8_t configuration,
                                                std::uint8_t interfaceNumber,
                                                std::uint8_t alternate,
                                                CUsbEndpointEventObserver* observer,
                                                std::uint32_t* status) override;
    CUsbControllerEndpoint* MakeInterruptInEndpoint(std::uint8_t configuration,
                                                    std::uint8_t interfaceNumber,
                                                    std::uint8_t alternate,
                                                    CUsbEndpointEventObserver* observer,
                                                    std::uint32_t* status) override;
    void DestroyEndpoint(CUsbControllerEndpoint* endpoint) override;
    void BeginPass() override;

private:
    // Makes endpoint T (controller, registers, args) into a free slot; out of memory: 0x543F0,
    // the slot taken: 0x543F1.
    template <class T, class... Args>
    CUsbControllerEndpoint* Make(CUsbControllerEndpoint** slot, std::uint32_t* status,
                                 Args... args);

    COSUsbDevice* m_usbDevice;
    CS3C2410Registers* m_registers = nullptr;
    CUsbControllerEndpoint* m_control = nullptr;
    CUsbControllerEndpoint* m_bulkIn = nullptr;
    CUsbControllerEndpoint* m_bulkOut = nullptr;
    CUsbControllerEndpoint* m_interruptIn = nullptr;
    platform::signal::handler_t m_previousSigbus = nullptr;
    bool m_sigbusInstalled = false;
    std::uint8_t m_wakePosted = 0;  // under the interrupt-disable lock
    std::uint64_t m_passes = 0;
};

} // namespace Korvex
