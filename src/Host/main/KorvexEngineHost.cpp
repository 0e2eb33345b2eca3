#include "Host/main/KorvexEngineHost.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "Host/acquisition/AcqResultGetters.h"
#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/main/CommunicationModules.h"
#include "Host/scpi/parser/KorvexHostParser.h"
#include "Host/scpi/status/KorvexScpiStatus.h"

namespace Korvex {

namespace {

// The hosts that exist, for the reader's offer (OfferWaitingTriggers). A host leaves the list
// before any of its parts dies, its device already closed.
std::mutex hostsMutex;
std::vector<CKorvexEngineHost*> hosts;
// When the sessions learn that the FETC? waiting for bus triggers is over: after its message,
// or, when a clear cut it and its measurement stays armed, after the parser's next message.
enum class FetchEnd { kNone, kAfterMessage, kAfterNextMessage };
FetchEnd fetchEnd = FetchEnd::kNone;

}  // namespace

CKorvexEngineHost::CKorvexEngineHost(std::uint32_t kind, CKorvexHostParser* parser)
    : CEngineServiceRequester(this),
      CKorvexHost(static_cast<CEngineServiceRequester*>(this), parser),
      kind(kind),
      parser(parser),
      engineDevice(this)
{
    responseText.reserve(ResponseReserve);
    std::lock_guard<std::mutex> lock(hostsMutex);
    hosts.push_back(this);
    KorvexSetResultWaitObserver(&OfferWaitingTriggers);
}

CKorvexEngineHost::~CKorvexEngineHost()
{
    {
        std::lock_guard<std::mutex> lock(hostsMutex);
        hosts.erase(std::remove(hosts.begin(), hosts.end(), this), hosts.end());
    }
    ReleaseAtParser();
    CAcquisitionSeam::Instance().ForgetInitiator(StatusBlock());
    delete response;
}

CKorvexHostParser* CKorvexEngineHost::TargetParser() const
{
    return parser != nullptr ? parser : PublishedParser();
}

ZODEVICE_STATUS CKorvexEngineHost::PostInputBuffer()
{
    // Once a shut-down closed the parser's input, no message would run: the buffer is not
    // offered again, so the host's next write fails rather than being acknowledged.
    const CKorvexHostParser* target = TargetParser();
    if (target != nullptr && target->InputClosed()) return ZODEVICE_STATUS_DEVICE_NOT_ENABLED;
    return EnableInputQueue(&inputBuffer);
}

// ---- hooks called by CKorvexHost under the host mutex ----

std::uint32_t CKorvexEngineHost::EngineQueryDetected()
{
    const ZODEVICE_STATUS status = QueryDetected();
    return status == ZODEVICE_STATUS_MEP_ERROR ? ReplyOwedToNobody : status;
}

const void* CKorvexEngineHost::EngineQueueResponse(std::string& text)
{
    // The stored text always ends in 1 to 4 NULs and its size is a multiple of 4; the NULs
    // are not sent. The engine gets a copy, so the text may change while it sends.
    const std::size_t length = text.size();
    text.append(4 - length % 4, '\0');
    auto* buffer = new CZoDeviceBuffer(static_cast<std::uint32_t>(text.size()), nullptr);
    if (buffer->valid == 0) {
        delete buffer;
        return nullptr;
    }
    std::memcpy(buffer->data, text.data(), text.size());
    buffer->count = static_cast<std::uint32_t>(length);
    if (QueueResponse(buffer, true) != 0) {
        delete buffer;
        return nullptr;
    }
    response = buffer;
    return buffer;
}

std::uint32_t CKorvexEngineHost::EngineInputProcessed()
{
    const ZODEVICE_STATUS status = InputProcessed();
    PostInputBuffer();
    return status;
}

// ---- engine callbacks ----

bool CKorvexEngineHost::PassToParser(CZoDeviceBuffer* buffer)
{
    if (buffer == nullptr) return false;
    std::string message(reinterpret_cast<const char*>(buffer->data), buffer->count);
    if (!partialInput.empty()) {
        message.insert(0, partialInput);
        partialInput.clear();
    }
    CKorvexHostParser* target = TargetParser();
    if (message.empty() || target == nullptr) {
        // Nothing to parse: processed at once, so the exchange is ready for the next one.
        InputProcessed();
        PostInputBuffer();
    } else {
        // The parser's InputDone re-posts the input buffer after the message.
        MessagePosted();
        target->PostMessage(message, this);
    }
    return true;
}

void CKorvexEngineHost::Trigger()
{
    if (CAcquisitionSeam::Instance().SendBusTrigger() != 0)
        CKorvexScpiStatus::PostError(StatusBlock(), RowTriggerError, 0);
    InputProcessed();
}

void CKorvexEngineHost::OnMessageReceived(std::uint32_t reason, CZoDeviceBuffer* buffer)
{
    HostLock lock(mutex);
    switch (reason) {
        case 0: PassToParser(buffer); break;
        case 1:
            if (buffer != nullptr)
                partialInput.append(reinterpret_cast<const char*>(buffer->data), buffer->count);
            PostInputBuffer();
            break;
        case 2:
            CKorvexScpiStatus::PostError(StatusBlock(), RowQueryUnterminated, 0);
            if (PassToParser(buffer)) ReportUnterminated();
            break;
        case 3: Trigger(); break;
        default: break;
    }
}

void CKorvexEngineHost::OnResponseDone(std::uint32_t reason, CZoDeviceBuffer*)
{
    HostLock lock(mutex);
    if (reason != 0 && reason != 2 && reason != 3) return;
    delete response;
    response = nullptr;
    pendingResponse.store(nullptr);
    responseText.clear();
    if (reason == 2) {
        CKorvexScpiStatus::PostError(StatusBlock(), RowQueryInterrupted, 0);
    } else {
        // The message is no longer available: a serial poll from now on must not show MAV.
        CKorvexScpiStatus::Evaluate(StatusBlock());
    }
}

void CKorvexEngineHost::OnDeviceClear()
{
    HostLock lock(mutex);
    RemoveMessagesAtParser();
    responseText.clear();
    partialInput.clear();
    queryDetected = 0;
    // The clear may have removed the queued message whose end would have offered the
    // input buffer again; without it the session would stay deaf. Refused harmlessly
    // when the buffer is still posted.
    PostInputBuffer();
    if (CAcquisitionSeam::Instance().Clear() != 0)
        CKorvexScpiStatus::PostError(StatusBlock(), RowExecutionError, 0);
}

void CKorvexEngineHost::OnTrigger()
{
    HostLock lock(mutex);
    Trigger();
}

void CKorvexEngineHost::CountWaitingTrigger()
{
    // The session hands over the triggers that count now, out of turn, for another
    // session's FETC? waiting for bus triggers (its ledger decides which); every other
    // trigger keeps its place behind this session's message. The FETC? may wait for more
    // than one. Not through this object's vtable: a host on its way out is still listed.
    while (engineDevice->TakePendingTrigger() == 0) {
        if (CAcquisitionSeam::Instance().SendBusTrigger() != 0)
            CKorvexScpiStatus::PostError(StatusBlock(), RowTriggerError, 0);
    }
}

void CKorvexEngineHost::OfferWaitingTriggers()
{
    // Parser thread, the running message's reader begins to wait: the sessions of the other
    // hosts learn whether it waits for bus triggers, until its message is over.
    std::lock_guard<std::mutex> lock(hostsMutex);
    CKorvexHostParser* parser = nullptr;
    for (CKorvexEngineHost* host : hosts) {
        CKorvexHostParser* target = host->TargetParser();
        // Only the parser whose thread this is takes the end of it, once.
        if (parser == nullptr && target != nullptr && target->MessageHost() != nullptr &&
            (fetchEnd != FetchEnd::kNone || target->RunAfterMessage(&ForgetFetchElsewhere))) {
            parser = target;
            if (fetchEnd == FetchEnd::kNone) fetchEnd = FetchEnd::kAfterMessage;
        }
    }
    for (CKorvexEngineHost* host : hosts) {
        if (parser == nullptr || host->TargetParser() != parser || !parser->OtherHostAwaitsBusTrigger(host))
            continue;
        HostLock hold(host->mutex);
        if (!host->fetchElsewhere && host->engineDevice->SetFetchElsewhere(true) == 0) host->fetchElsewhere = true;
        host->CountWaitingTrigger();
    }
}

void CKorvexEngineHost::ForgetFetchElsewhere()
{
    // A clear ended that FETC?: the measurement it waited for stays armed, and a trigger sent
    // behind a message caught behind it still counts for it. So does one sent behind a
    // message the other host wrote while the FETC? waited, that reaches its session only now:
    // the sessions learn of the end once the parser's next message is over.
    const bool stillArmed = CKorvexHostParser::BusTriggerArmed();
    std::lock_guard<std::mutex> lock(hostsMutex);
    if (stillArmed && fetchEnd == FetchEnd::kAfterMessage) {
        for (CKorvexEngineHost* host : hosts) {
            CKorvexHostParser* target = host->TargetParser();
            if (target != nullptr && target->RunAfterNextMessage(&ForgetFetchElsewhere)) {
                fetchEnd = FetchEnd::kAfterNextMessage;
                return;
            }
        }
    }
    fetchEnd = FetchEnd::kNone;
    for (CKorvexEngineHost* host : hosts) {
        HostLock hold(host->mutex);
        if (!host->fetchElsewhere) continue;
        host->fetchElsewhere = false;
        host->engineDevice->SetFetchElsewhere(false, stillArmed);
    }
}

void CKorvexEngineHost::OnTriggerWaiting()
{
    HostLock lock(mutex);
    CountWaitingTrigger();
}

void CKorvexEngineHost::OnRemoteLocalChanged(std::uint32_t)
{
    HostLock lock(mutex);
}

void CKorvexEngineHost::OnStatusByteRequest()
{
    HostLock lock(mutex);
    // The byte as it stands now, not as of the last evaluation (a reply may have been read
    // since).
    CKorvexScpiStatus::Evaluate(StatusBlock());
    const std::uint8_t stb = CKorvexScpiStatus::ReadStatusByte(StatusBlock(), 1);
    SetStatusByte(static_cast<std::uint8_t>(stb & 0xFF));
}

}  // namespace Korvex
