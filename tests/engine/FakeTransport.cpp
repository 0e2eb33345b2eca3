#include "FakeTransport.h"

#include <chrono>
#include <cstring>

#include "engine/buffer/ByteBuffer.h"
#include "engine/session/MessageDescriptor.h"
#include "engine/status/EngineStatus.h"

namespace Korvex {

namespace {
std::uint32_t g_unused = 0;
} // namespace

FakeTransport::FakeTransport(CPhysicalInterfaceFactory* factory)
    : CPhysicalInterface(factory, 0, 0, &g_unused)
{
}

FakeTransport::~FakeTransport() = default;

// What the other side does within microseconds is not waited for asleep: a short yield
// loop comes first.
template <typename Pred>
void FakeTransport::Spin(std::unique_lock<std::mutex>& lock, Pred pred)
{
    for (int spin = 0; spin < 100 && !pred(); ++spin) {
        lock.unlock();
        std::this_thread::yield();
        lock.lock();
    }
}

template <typename Pred>
bool FakeTransport::WaitFor(std::unique_lock<std::mutex>& lock, int timeoutMs, Pred pred)
{
    Spin(lock, pred);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
}

template <typename Fn>
void FakeTransport::Deliver(Fn fn)
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        Spin(lock, [this] { return !m_held && !m_delivering; });
        m_changed.wait(lock, [this] { return !m_held && !m_delivering; });
        m_delivering = true;
        m_deliveryThread = std::this_thread::get_id();
    }
    fn();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_delivering = false;
    m_deliveryThread = std::thread::id();
    m_changed.notify_all();
}

bool FakeTransport::HostWrite(const std::string& bytes, bool end, int timeoutMs)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_writing = true;
    }
    Deliver([this] { StartInput(); });
    std::size_t position = 0;
    bool ok = true;
    while (position < bytes.size() || (bytes.empty() && position == 0 && end)) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (!WaitFor(lock, timeoutMs, [this] { return m_armedInput != nullptr; })) {
                ok = false;
                break;
            }
        }
        Deliver([&] {
            CMessageDescriptor* descriptor = nullptr;
            bool notify = false;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                descriptor = m_armedInput;
                m_armedInput = nullptr;
                notify = m_notify;
                m_notify = false;
            }
            if (descriptor == nullptr) {
                return;
            }
            if (notify) {
                ForwardToSession();
            }
            CByteBuffer* buffer = descriptor->Buffer();
            std::uint32_t count = buffer->BytesInWindow();
            if (count > bytes.size() - position) {
                count = static_cast<std::uint32_t>(bytes.size() - position);
            }
            std::memcpy(buffer->GetStorage() + buffer->GetStart(), bytes.data() + position,
                        count);
            position += count;
            OnInputReceived(count, end && position == bytes.size() ? 1 : 0);
        });
        if (bytes.empty()) {
            break;
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_writing = false;
    return ok;
}

std::string FakeTransport::HostRead(std::uint32_t max, std::uint32_t* reason, int timeoutMs)
{
    std::string data;
    *reason = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_readRemaining = max;
    }
    Deliver([this] { StartOutput(); });
    while (*reason == 0) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_readRemaining == 0 ||
                !WaitFor(lock, timeoutMs, [this] { return m_armedOutput != nullptr; })) {
                break;
            }
        }
        Deliver([&] {
            CMessageDescriptor* descriptor = nullptr;
            std::uint8_t chr = 0;
            std::uint8_t endMark = 0;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                descriptor = m_armedOutput;
                m_armedOutput = nullptr;
                chr = m_armedChr;
                endMark = m_armedEnd;
            }
            if (descriptor == nullptr) {
                return;
            }
            CByteBuffer* buffer = descriptor->Buffer();
            const std::uint32_t count = buffer->BytesInWindow();
            data.append(reinterpret_cast<const char*>(buffer->GetStorage() + buffer->GetStart()),
                        count);
            if (endMark) {
                *reason |= kReasonEnd;
            }
            if (chr) {
                *reason |= kReasonChr;
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_readRemaining -= count;
                if (*reason != 0) {
                    m_readRemaining = 0;
                }
            }
            OnOutputSent(count);
        });
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_readRemaining = 0;
    return data;
}

void FakeTransport::HostTrigger()
{
    Deliver([this] { Trigger(); });
}

void FakeTransport::HostDeviceClear()
{
    Deliver([this] { DeviceClear(); });
}

bool FakeTransport::HostDeviceClearAndWait(int timeoutMs)
{
    std::uint32_t before = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        before = m_clearsFinished;
    }
    Deliver([this] { DeviceClear(); });
    std::unique_lock<std::mutex> lock(m_mutex);
    return WaitFor(lock, timeoutMs, [&] { return m_clearsFinished != before; });
}

int FakeTransport::HostSerialPoll(int timeoutMs)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_polledByte = -1;
    }
    Deliver([this] { BeginSerialPoll(); });
    int stb = -1;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        WaitFor(lock, timeoutMs, [this] { return m_polledByte >= 0; });
        stb = m_polledByte;
    }
    Deliver([this] { EndSerialPoll(); });
    return stb;
}

void FakeTransport::HostRemoteLocal(std::uint32_t value)
{
    Deliver([this, value] { ReportRemoteLocalState(value); });
}

void FakeTransport::HostDeviceEvent(std::uint32_t code)
{
    Deliver([this, code] { NotifyDeviceEvent(code); });
}

void FakeTransport::HostReportInput(std::uint32_t count, bool end)
{
    Deliver([this, count, end] {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_armedInput = nullptr;
        }
        OnInputReceived(count, end ? 1 : 0);
    });
}

bool FakeTransport::Held()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_held;
}

std::uint32_t FakeTransport::Violations()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_violations;
}

std::uint32_t FakeTransport::ClearsFinished()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_clearsFinished;
}

std::uint32_t FakeTransport::Closes()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closes;
}

bool FakeTransport::SrqLine()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_srqLine;
}

std::uint32_t FakeTransport::SrqAssertions()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_srqAssertions;
}

std::uint32_t FakeTransport::SrqReleases()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_srqReleases;
}

// ---- transport operations ----

void FakeTransport::SrqAsserted(std::uint32_t* status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (failSrqReports) {
        *status = ZODEVICE_STATUS_HARDWARE_ERROR;
        return;
    }
    m_srqLine = true;
    ++m_srqAssertions;
    *status = 0;
}

void FakeTransport::SrqReleased(std::uint32_t* status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (failSrqReports) {
        *status = ZODEVICE_STATUS_HARDWARE_ERROR;
        return;
    }
    m_srqLine = false;
    ++m_srqReleases;
    *status = 0;
}

void FakeTransport::StatusByte(std::uint8_t stb, std::uint32_t* status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_polledByte = stb;
    m_changed.notify_all();
    *status = 0;
}


std::uint8_t FakeTransport::IsActive()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_active ? 1 : 0;
}

void FakeTransport::Open(const void*, std::uint32_t* status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_active = true;
    *status = 0;
}

void FakeTransport::Close(std::uint32_t* status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_active = false;
    m_armedInput = nullptr;
    m_armedOutput = nullptr;
    ++m_closes;
    *status = 0;
}

void FakeTransport::HoldTransport(std::uint32_t* status)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_held = true;
    if (!(m_delivering && m_deliveryThread == std::this_thread::get_id())) {
        Spin(lock, [this] { return !m_delivering; });
        m_changed.wait(lock, [this] { return !m_delivering; });
        if (m_delivering) {
            ++m_violations;
        }
    }
    *status = 0;
}

void FakeTransport::ReleaseTransport(std::uint32_t* status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_held = false;
    m_changed.notify_all();
    *status = 0;
}

void FakeTransport::RequestInputNotification(std::uint32_t* status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_notify = true;
    *status = m_active ? 0 : 0x54303;
}

void FakeTransport::ClearFinished(std::uint32_t* status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_clearsFinished;
    *status = 0;
}

void FakeTransport::StartReceive(CMessageDescriptor* descriptor, std::uint32_t* status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (failStartReceive) {
        *status = ZODEVICE_STATUS_HARDWARE_ERROR;
        return;
    }
    m_armedInput = descriptor;
    m_changed.notify_all();
    *status = 0;
}

void FakeTransport::CancelReceive(std::uint32_t* count, std::uint8_t* end, std::uint32_t* status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_armedInput = nullptr;
    *count = 0;
    *end = 0;
    *status = 0;
}

void FakeTransport::StartSend(CMessageDescriptor* descriptor, std::uint8_t chr,
                              std::uint8_t end, std::uint32_t* status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_armedOutput = descriptor;
    m_armedChr = chr;
    m_armedEnd = end;
    m_changed.notify_all();
    *status = 0;
}

void FakeTransport::CancelSend(std::uint32_t* count, std::uint32_t* status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_armedOutput = nullptr;
    *count = 0;
    *status = 0;
}

std::uint8_t FakeTransport::IsReceiving()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_writing ? 1 : 0;
}

std::uint8_t FakeTransport::IsSending()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_readRemaining != 0 ? 1 : 0;
}

void FakeTransport::LimitChunk(CMessageDescriptor* descriptor)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CByteBuffer* buffer = descriptor->Buffer();
    std::uint32_t limit = buffer->BytesInWindow();
    if (chunkLimit != 0 && chunkLimit < limit) {
        limit = chunkLimit;
    }
    if (descriptor->GetKind() == CMessageDescriptor::Response && m_readRemaining < limit) {
        limit = m_readRemaining;
    }
    std::uint32_t status = 0;
    buffer->SetEnd(buffer->GetStart() + limit, &status);
}

} // namespace Korvex
