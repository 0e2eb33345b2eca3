// The topology monitor: watches the NMR path state every 20 ticks and reports its changes.
// A change away from an empty connector is a plugged peripheral (status row 0x43); every
// other change, a change back to empty included, is a broken NMR path (status row 0x42 and
// current_probe/nmr_path_broken set, whose subscriber aborts a running measurement), except
// 3 -> 2, which is nothing. The monitor never touches the peripheral bus nor the topology
// lock. The flag is cleared by the next successful topology build.
//
// The monitor unit's static objects are built before every other static object of the
// instrument, in this order: the topology lock, the monitor thread object (suspended), the
// selectable channel list and the default physical information. They are never destroyed:
// threads still running at exit may use them.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "Host/parameters/Thread.h"
#include "Host/scpi/exec/KorvexChannel.h"

namespace Korvex {

class CTopologyMonitorThread : public CThread {
public:
    static constexpr int ThreadPriority = 15;
    static constexpr std::size_t ThreadStackSize = 9920;
    static constexpr unsigned PollTicks = 20;
    static constexpr std::uint32_t RowNmrPathBroken = 0x42;
    static constexpr std::uint32_t RowPeripheralPlugged = 0x43;

    CTopologyMonitorThread();

    // The reports of one change of the path state (monitor thread).
    static void ReportChange(std::uint32_t previous, std::uint32_t state);

    // Resumes the thread and waits until it runs; later calls do nothing.
    void StartOnce();

    // Ends the loop after its current pass (tests; the instrument's monitor runs until
    // power-off).
    void RequestStop() { stopping.store(true); }

protected:
    void ThreadMain() override;

private:
    std::atomic<bool> stopping{false};
    std::atomic<bool> started{false};
};

// The instrument's one monitor (suspended until the peripheral initialisation resumes it).
CTopologyMonitorThread& TopologyMonitor();

// The selectable channels, published as current_probe/current_channel_list; guarded by the
// topology lock.
std::vector<CKorvexChannel>& SelectableChannels();

}  // namespace Korvex
