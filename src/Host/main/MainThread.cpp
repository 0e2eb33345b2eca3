#include "Host/main/MainThread.h"

#include <exception>

#include "Host/main/CommunicationModules.h"
#include "Host/main/KeepAliveThread.h"
#include "Host/main/KorvexNetwork.h"
#include "Host/main/KorvexNetworkThread.h"
#include "Host/main/KorvexPower.h"
#include "Host/main/SystemSeams.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/FileServices.h"
#include "Host/parameters/KorvexException.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/PowerHooks.h"
#include "Host/parameters/SettingsClasses.h"
#include "Host/parameters/StartupSettings.h"
#include "Host/scpi/parser/KorvexHostParser.h"
#include "Host/scpi/status/KorvexScpiStatus.h"
#include "engine/api/ZoDeviceApi.h"
#include "platform/kernel/Kernel.h"

namespace Korvex {

const char* CMainThread::BootConditionText(std::uint32_t condition)
{
    switch (condition) {
        case 0: return "Cold boot";
        case 2: return "Warm boot";
        case 3: return "Warm boot on Factory";
        case 5: return "Warm boot with ignored hard reset";
        default: return "Unknown";
    }
}

void CMainThread::StartUp()
{
    CSystemSeams& seams = CSystemSeams::Instance();
    Logger().Printf("Starting main thread; id = %d\n",
                    static_cast<int>(kernel::thread_self() & 0xFFFF));
    CKeepAliveThread::StartKeepAlive();

    bootCondition = CKorvexPower::GetBootCondition();
    Logger().Printf("Boot conditions: %s\n", BootConditionText(bootCondition));

    KorvexMountFileSystems();
    if (bootCondition == 3) KorvexDeleteLastPowerOffSettings();
    KorvexLoadStartupSettings();

    seams.InitPeripherals();
    CKorvexPower::_StartPowerDownMonitor();

    Logger().Printf("Starting the Acquisition module.\n");
    seams.StartAcquisition();
    std::uint8_t versionAccepted = 0;
    std::uint8_t started = 0;
    const bool dspStarted = seams.WaitForDspStarted(DspStartTimeoutMs, versionAccepted, started);
    const bool dspUp = dspStarted && versionAccepted != 0 && started != 0;
    CKorvexScpiStatus::SetStatusBit(&InstrumentBlock(), RowDspNotStarted, dspUp ? 0 : 1, 0);
    if (!seams.WaitForAcqStarted(AcqStartTimeoutMs)) KorvexPanic();

    Logger().Printf("Starting the SCPI parser.\n");
    parser = new CKorvexHostParser;
    CParameterNode::SetValue(g_pScpiParserObject, static_cast<void*>(parser));
    // From a shut-down request on no host input is taken in: what would only be dropped at
    // the shut-down is refused instead.
    CKorvexPower::SetShutdownRequestHook([] {
        if (CKorvexHostParser* published = PublishedParser()) published->CloseInput();
    });
    Logger().Printf("SCPI parser started.\n");
    Logger().Printf("Starting the ZO-Zevodo Engine.\n");
    zo_device_initialize();

    KorvexUpdateUsbScpiModule(g_pUsbtmcEnabled, 0, nullptr);
    CParameterNode::SetValue(g_pEthernetActive, false);
    CParameterNode::SetValue(g_pNbnsActive, false);

    CParameterNode::Subscribe(g_pEthernetEnabled, &KorvexOnEthernetEnabledChanged, nullptr);
    CParameterNode::Subscribe(g_pEthernetActive, &KorvexOnEthernetActiveChanged, nullptr);
    CParameterNode::Subscribe(g_pUsbtmcEnabled, &KorvexUpdateUsbScpiModule, nullptr);
    CParameterNode::Subscribe(g_pVxi11Enabled, &KorvexUpdateTcpIpScpiModule, nullptr);
    CParameterNode::Subscribe(g_pNbnsEnabled, &KorvexUpdateNbns, nullptr);
    CParameterNode::Subscribe(g_pEthernetId, &KorvexUpdateNbns, nullptr);
    CParameterNode::Subscribe(g_pEthernetDomain, &KorvexUpdateNbns, nullptr);

    KorvexStartNetworkThread();
}

void CMainThread::ShutDown(std::uint32_t reason)
{
    // Nothing of what follows waits for the name service's start, and no command runs after
    // the settings are saved: the parser is held first, after the message it runs.
    KorvexBeginShutdown();
    if (parser != nullptr) parser->Hold(ParserHoldLimitMs);
    KorvexWaitForRepliesRead();
    switch (reason) {
        case 0:
        case 2:
        case 5: KorvexSaveLastPowerOffSettings(std::string(LastPowerOffSettingsPath)); break;
        case 1:
        case 4: KorvexDeleteLastPowerOffSettings(); break;
        default: break;
    }
    KorvexUnmountFileSystems();
    CParameterNode::SetValue(g_pUsbtmcEnabled, false);
    KorvexLatchNetwork();
    CParameterNode::SetValue(g_pEthernetActive, false);

    // Each final action suspends the calling thread: only a reason without one returns.
    switch (reason) {
        case 0:
        case 1: CKorvexPower::PerformPowerAction(CKorvexPower::ePowerOff);
        case 2:
        case 3:
        case 4: CKorvexPower::PerformPowerAction(CKorvexPower::eReset);
        case 5: CKorvexPower::PerformPowerAction(CKorvexPower::eUpdateMode);
        default: break;
    }
}

void CMainThread::Run()
{
    try {
        StartUp();
        std::uint32_t reason = 0;
        CKorvexPower::WaitForPowerEvent(reason);
        ShutDown(reason);
    } catch (const CKorvexException& e) {
        Logger().Printf("Main thread: exception %d: %s\n", static_cast<int>(e.Code()), e.what());
    } catch (const std::exception& e) {
        Logger().Printf("Main thread: exception: %s\n", e.what());
    } catch (eError code) {
        Logger().Printf("Main thread: error %d\n", static_cast<int>(code));
    } catch (int code) {
        Logger().Printf("Main thread: error %d\n", code);
    } catch (...) {
        Logger().Printf("Main thread: unknown exception\n");
    }
    KorvexPanic();
}

}  // namespace Korvex
