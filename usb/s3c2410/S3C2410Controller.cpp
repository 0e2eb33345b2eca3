#include "usb/s3c2410/S3C2410Controller.h"

#include <cerrno>

#include "engine/os/Allocator.h"
#include "engine/status/EngineStatus.h"
#include "platform/diag/Diag.h"
#include "platform/irq/Interrupt.h"

namespace Korvex {

namespace psig = platform::signal;

CS3C2410Controller::CS3C2410Controller(COSUsbDevice* device,
                                       CUsbExceptionEventObserver* exceptionObserver,
                                       std::uint32_t* status)
    : CUsbController(device, exceptionObserver, kActiveEndpoints, status), m_usbDevice(device)
{
    if (*status != 0) {
        return;
    }
    m_registers = EngineNew<CS3C2410Registers>();
    if (m_registers == nullptr) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return;
    }
    if (psig::signals_lock()) {
        m_previousSigbus = psig::set_handler_locked(psig::kSigBus, &FaultSignalHandler);
        m_sigbusInstalled = true;
        psig::signals_unlock();
    } else {
        errno = 4;
    }
    static const std::uint32_t kVectors[] = {25, 0};
    std::uint32_t attachStatus = 0;
    device->AttachInterrupts(kVectors, &attachStatus);
    if (attachStatus != 0) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
    }
}

CS3C2410Controller::~CS3C2410Controller()
{
    ReleaseInterruptAttachment();
    DestroyRemainingEndpoints();
    if (m_sigbusInstalled && psig::signals_lock()) {
        if (psig::handler(psig::kSigBus) == &FaultSignalHandler) {
            psig::set_handler_locked(psig::kSigBus, m_previousSigbus);
        }
        psig::signals_unlock();
    }
    EngineDelete(m_registers);
}

void CS3C2410Controller::SetAddress(std::uint16_t address, std::uint32_t* status)
{
    if (*status == 0) {
        m_registers->SetAddress(address);
    }
}

void CS3C2410Controller::ClearAllInterrupts(std::uint32_t* status)
{
    if (*status == 0) {
        m_registers->ClearAllInterrupts();
    }
}

void CS3C2410Controller::Attach(std::uint32_t* status)
{
    if (*status == 0) {
        m_registers->Attach();
    }
}

void CS3C2410Controller::Detach(std::uint32_t* status)
{
    if (*status == 0) {
        m_registers->Detach();
    }
}

void CS3C2410Controller::EnableInterrupts(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_registers->EnableInterrupts();
    irq::InterruptsDisabled masked;
    if (m_registers->AnyRaisePending() && m_wakePosted == 0) {
        m_wakePosted = 1;
        m_usbDevice->Wake();
    }
}

void CS3C2410Controller::DisableInterrupts(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_registers->DisableInterrupts();
    irq::InterruptsDisabled masked;
    m_wakePosted = 0;
}

void CS3C2410Controller::BeginPass()
{
    // A raise made in this pass must be able to post again, also when the pass was woken by
    // software rather than by the interrupt.
    irq::InterruptsDisabled masked;
    m_wakePosted = 0;
    ++m_passes;
}

bool CS3C2410Controller::CheckSuspendResume(std::uint32_t* status)
{
    return *status == 0 && m_registers->CheckSuspendResume();
}

bool CS3C2410Controller::CheckReset(std::uint32_t* status)
{
    return *status == 0 && m_registers->CheckReset();
}

template <class T, class... Args>
CUsbControllerEndpoint* CS3C2410Controller::Make(CUsbControllerEndpoint** slot,
                                                 std::uint32_t* status, Args... args)
{
    T* made = EngineNew<T>(this, m_registers, args...);
    if (made == nullptr) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return nullptr;
    }
    if (*slot != nullptr) {
        // The hardware endpoint is taken.
        EngineDelete(made);
        *status = ZODEVICE_STATUS_OUT_OF_RESOURCES;
        return nullptr;
    }
    *slot = made;
    return made;
}

CUsbControllerEndpoint* CS3C2410Controller::MakeControlEndpoint(
    CUsbEndpointEventObserver* observer, std::uint32_t* status)
{
    return Make<CS3C2410ControlEndpoint>(&m_control, status, observer);
}

CUsbControllerEndpoint* CS3C2410Controller::MakeBulkInEndpoint(
    std::uint8_t configuration, std::uint8_t interfaceNumber, std::uint8_t alternate,
    CUsbEndpointEventObserver* observer, std::uint32_t* status)
{
    return Make<CS3C2410BulkInEndpoint>(&m_bulkIn, status, configuration, interfaceNumber,
                                        alternate, observer);
}

CUsbControllerEndpoint* CS3C2410Controller::MakeBulkOutEndpoint(
    std::uint8_t configuration, std::uint8_t interfaceNumber, std::uint8_t alternate,
    CUsbEndpointEventObserver* observer, std::uint32_t* status)
{
    return Make<CS3C2410BulkOutEndpoint>(&m_bulkOut, status, configuration, interfaceNumber,
                                         alternate, observer);
}

CUsbControllerEndpoint* CS3C2410Controller::MakeInterruptInEndpoint(
    std::uint8_t configuration, std::uint8_t interfaceNumber, std::uint8_t alternate,
    CUsbEndpointEventObserver* observer, std::uint32_t* status)
{
    return Make<CS3C2410InterruptInEndpoint>(&m_interruptIn, status, configuration, interfaceNumber,
                                             alternate, observer);
}

void CS3C2410Controller::DestroyEndpoint(CUsbControllerEndpoint* endpoint)
{
    for (CUsbControllerEndpoint** slot : {&m_control, &m_bulkIn, &m_bulkOut, &m_interruptIn}) {
        if (*slot == endpoint) {
            *slot = nullptr;
        }
    }
    EngineDelete(endpoint);
}

void CS3C2410Controller::FaultSignalHandler(int)
{
    static const char* const kPicture[] = {"      \n", " >`)  \n", " ( \\  \n", "  ^   \n",
                                           "      \n"};
    for (const char* line : kPicture) {
        diag_printf("%s", line);
    }
    // No saved exception context on this board: the dump shows zeros.
    const std::uint32_t context[32] = {};
    diag_dump_buf(context, sizeof context);
    diag_printf("Registers:\n");
    for (int r = 0; r <= 10; ++r) {
        if (r == 0 || r == 6) {
            diag_printf("R%d: ", r);
        }
        diag_printf("%08X ", static_cast<unsigned>(context[r]));
        if (r == 5 || r == 10) {
            diag_printf("\n");
        }
    }
    diag_printf("FP: %08X, SP: %08X, LR: %08X, PC: %08X, PSR: %08X\n",
                static_cast<unsigned>(context[11]), static_cast<unsigned>(context[13]),
                static_cast<unsigned>(context[14]), static_cast<unsigned>(context[15]),
                static_cast<unsigned>(context[16]));
    psig::set_handler(psig::kSigBus, nullptr);
}

} // namespace Korvex
