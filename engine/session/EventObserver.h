// The event observer of a session: a "ZO-Zevodo" thread that takes the session's event
// records one by one and runs the handler each one names. Stop: RequestStop, abort the
// interface's event wait, then COSThread::Stop; the loop ends after the iteration in
// which it finds the stop flag set.
#pragma once

#include <atomic>

#include "engine/os/OSThread.h"

namespace Korvex {

class CZoDeviceInterface;

class CEventObserver : public COSThread {
public:
    explicit CEventObserver(CZoDeviceInterface* deviceInterface)
        : m_interface(deviceInterface)
    {
    }
    ~CEventObserver() override = default;

    void RequestStop() { m_stop.store(true); }

protected:
    void Run() override;

private:
    CZoDeviceInterface* m_interface;
    std::atomic<bool> m_stop{false};
};

} // namespace Korvex
