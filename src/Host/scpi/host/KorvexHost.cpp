#include "Host/scpi/host/KorvexHost.h"

#include <utility>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/scpi/parser/KorvexHostParser.h"

namespace Korvex {

CKorvexHost::CKorvexHost(IServiceRequester* device, CKorvexHostParser* parser)
    : parser(parser), status(device, &pendingResponse, &GlobalBlock())
{
    kernel::mutex_init(&mutex);
}

CKorvexHost::~CKorvexHost()
{
    ReleaseAtParser();
    kernel::mutex_destroy(&mutex);
}

void CKorvexHost::ReleaseAtParser()
{
    if (CKorvexHostParser* p = Parser()) p->ReleaseHost(this);
}

CKorvexHostParser* CKorvexHost::Parser() const
{
    if (parser != nullptr) return parser;
    return static_cast<CKorvexHostParser*>(
        CParameterNode::GetPointerAttribute(g_pScpiParserObject, eAttrValue));
}

std::uint32_t CKorvexHost::NotifyQueryDetected()
{
    HostLock lock(mutex);
    if (queryDetected || abandonedMessages != 0) return 0;
    const std::uint32_t refused = EngineQueryDetected();
    if (refused == ReplyOwedToNobody) {
        // Nobody reads this reply: the query and the rest of its message do not run.
        if (CKorvexHostParser* p = Parser()) p->AbandonRunningMessage(this);
        return 0;
    }
    if (refused != 0) return QueryAnnouncementFailed;
    queryDetected = 1;
    return 0;
}

std::uint32_t CKorvexHost::PrepareResponse(std::string text)
{
    HostLock lock(mutex);
    if (abandonedMessages != 0) return 0;  // the reply of a cleared message goes nowhere
    responseText = std::move(text);
    const void* buffer = EngineQueueResponse(responseText);
    pendingResponse.store(buffer);
    queryDetected = 0;
    return buffer != nullptr ? 0 : ResponseHandOverFailed;
}

std::uint32_t CKorvexHost::InputDone()
{
    HostLock lock(mutex);
    if (messagesAtParser != 0) --messagesAtParser;
    if (abandonedMessages != 0) {
        // The clear already offered the input buffer again; the session is not told about a
        // message it has forgotten.
        --abandonedMessages;
        return 0;
    }
    return EngineInputProcessed() == 0 ? 0 : InputDoneFailed;
}

void CKorvexHost::ResponseDone()
{
    HostLock lock(mutex);
    pendingResponse.store(nullptr);
    responseText.clear();
}

void CKorvexHost::DeviceClear()
{
    HostLock lock(mutex);
    RemoveMessagesAtParser();
    pendingResponse.store(nullptr);
    responseText.clear();
    queryDetected = 0;
}

void CKorvexHost::RemoveMessagesAtParser()
{
    CKorvexHostParser* p = Parser();
    const std::uint32_t removed = p != nullptr ? static_cast<std::uint32_t>(p->RemovePendingMessages(this)) : 0;
    messagesAtParser = removed < messagesAtParser ? messagesAtParser - removed : 0;
    abandonedMessages = messagesAtParser;
    // One that runs must not wait on for results nobody will read.
    if (p != nullptr) p->AbandonRunningMessage(this);
}

}  // namespace Korvex
