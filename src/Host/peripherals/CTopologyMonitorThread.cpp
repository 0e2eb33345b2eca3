#include "Host/peripherals/CTopologyMonitorThread.h"

#include "Host/parameters/Bindings.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/peripherals/NmrPathSensor.h"
#include "Host/peripherals/PwPhysicalInformation.h"
#include "Host/peripherals/TopologyLock.h"
#include "Host/scpi/status/KorvexScpiStatus.h"
#include "platform/kernel/Kernel.h"

namespace Korvex {

namespace {

struct MonitorObjects {
    MonitorObjects()
    {
        TopologyLock();
        monitor = new CTopologyMonitorThread;
        channels = new std::vector<CKorvexChannel>;
        PwDefaultPhysicalInformation();
    }
    CTopologyMonitorThread* monitor;
    std::vector<CKorvexChannel>* channels;
};

MonitorObjects& Objects()
{
    static MonitorObjects* objects = new MonitorObjects;
    return *objects;
}

// Built first of the instrument's static objects (GCC/Clang construction priority).
struct MonitorObjectsBuilder {
    MonitorObjectsBuilder() { Objects(); }
};
MonitorObjectsBuilder builder __attribute__((init_priority(101)));

}  // namespace

CTopologyMonitorThread::CTopologyMonitorThread()
    : CThread(ThreadPriority, "Topology Monitor Thread", ThreadStackSize)
{
}

void CTopologyMonitorThread::ReportChange(std::uint32_t previous, std::uint32_t state)
{
    if (state == previous) return;
    if (previous == 0) {
        Logger().Printf("TopologyMonitor: Peripheral plugged\n");
        CKorvexScpiStatus::SetInstrumentStatusBit(RowPeripheralPlugged, 1, 0);
        return;
    }
    if (previous == 3 && state == 2) return;
    Logger().Printf("TopologyMonitor: NMR Path broken\n");
    CKorvexScpiStatus::SetInstrumentStatusBit(RowNmrPathBroken, 1, 0);
    // Stored and notified only when it was not already true.
    if (g_pNmrPathBroken != nullptr) CParameterNode::SetValue(g_pNmrPathBroken, true);
}

void CTopologyMonitorThread::StartOnce()
{
    if (!started.exchange(true)) Start();
}

void CTopologyMonitorThread::ThreadMain()
{
    std::uint32_t state = 0;
    ReadNmrPathState(state);  // a failure reads as state 0
    while (!stopping.load()) {
        const std::uint32_t previous = state;
        ReadNmrPathState(state);
        ReportChange(previous, state);
        kernel::thread_delay(PollTicks);
    }
}

CTopologyMonitorThread& TopologyMonitor() { return *Objects().monitor; }

std::vector<CKorvexChannel>& SelectableChannels() { return *Objects().channels; }

}  // namespace Korvex
