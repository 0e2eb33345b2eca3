#include "engine/session/EventObserver.h"

#include "engine/api/ZoDeviceInterface.h"
#include "engine/session/EventQueue.h"

namespace Korvex {

void CEventObserver::Run()
{
    SetState(1);
    NotifyStarted();
    for (;;) {
        EventRecord record{CEventQueue::kNoEvent, 0, nullptr, nullptr, nullptr, 0};
        std::uint32_t status = 0;
        m_interface->GetEvent(1, &record, &status);
        if (status == 0) {
            m_interface->RunEventHandler(&record, &status);
        }
        if (m_stop.load()) {
            return;
        }
    }
}

} // namespace Korvex
