// The instrument's side of one host session (USB or VXI-11): the reply target of the
// parser thread and the owner of the session's status block. The interface classes derive
// from it and give it their engine device; the parser calls the three operations below.
#pragma once

#include <cstdint>
#include <string>

#include "Host/scpi/status/KorvexScpiStatus.h"
#include "platform/kernel/Kernel.h"

namespace Korvex {

class CKorvexHostParser;
class IServiceRequester;

class CKorvexHost {
public:
    // eError results of the operations.
    static constexpr std::uint32_t InputDoneFailed = 17;
    static constexpr std::uint32_t QueryAnnouncementFailed = 18;
    static constexpr std::uint32_t ResponseHandOverFailed = 19;

    // device: the session's engine device, which raises its service requests (may be null).
    // parser: the parser that receives this host's messages; null: the one published in
    // host_if/scpi_parser/object.
    explicit CKorvexHost(IServiceRequester* device, CKorvexHostParser* parser = nullptr);
    // Releases the host at the parser first (queued messages, session lock, running message).
    virtual ~CKorvexHost();
    CKorvexHost(const CKorvexHost&) = delete;
    CKorvexHost& operator=(const CKorvexHost&) = delete;

    // 0, or 18 when the engine refused the announcement. At most one announcement per
    // program message: a second call before the flag is cleared returns 0 at once.
    virtual std::uint32_t NotifyQueryDetected();
    // 0, or 19 when the engine refused the response. Under one hold of the host mutex:
    // installs text as the response, queues it as the pending response and clears the
    // query-detected flag.
    virtual std::uint32_t PrepareResponse(std::string text);
    // 0, or 17: the engine is told that the current program message has been processed.
    virtual std::uint32_t InputDone();

    CKorvexScpiStatus* StatusBlock() { return &status; }
    // The queued response, null when none (the status block's message-available source).
    const void* PendingResponse() const { return pendingResponse.load(); }

protected:
    // Scoped hold of the host mutex (nothing held when the lock fails).
    class HostLock {
    public:
        explicit HostLock(kernel::Mutex& m) : mutex(m), locked(kernel::mutex_lock(&m)) {}
        ~HostLock()
        {
            if (locked) kernel::mutex_unlock(&mutex);
        }
        HostLock(const HostLock&) = delete;
        HostLock& operator=(const HostLock&) = delete;

    private:
        kernel::Mutex& mutex;
        bool locked;
    };

    // What EngineQueryDetected returns when the message's reply is owed to nobody (the link
    // that sent it has gone): the message is abandoned there, silently.
    static constexpr std::uint32_t ReplyOwedToNobody = 0xFFFFFFFFu;

    // Engine hooks, called with the host mutex held. EngineQueueResponse may pad the
    // installed text as its buffer needs and returns the engine's buffer (null: refused).
    virtual std::uint32_t EngineQueryDetected() { return 0; }
    virtual const void* EngineQueueResponse(std::string& text) { return text.c_str(); }
    virtual std::uint32_t EngineInputProcessed() { return 0; }

    // Engine callbacks common to both interfaces, each under the host mutex.
    // Response done: the pending response is gone, the text emptied.
    void ResponseDone();
    // Device clear: queued messages removed, response text emptied, query flag cleared.
    void DeviceClear();
    // Removes this host's queued messages at the parser; the one the parser is running, if
    // any, is abandoned: it stops waiting for results and runs no further command, and its
    // query announcement, response and end are dropped when they come, so they never act on a
    // message that arrives after the clear.
    void RemoveMessagesAtParser();
    // Under the host mutex: a message was handed to the parser.
    void MessagePosted() { ++messagesAtParser; }

    // What a derived destructor calls first, before its own parts die; idempotent.
    void ReleaseAtParser();

    kernel::Mutex mutex;
    std::string responseText;
    CKorvexScpiStatus::MavSource pendingResponse{nullptr};
    std::uint8_t queryDetected = 0;
    // Messages handed to the parser and not yet ended (InputDone), and how many of those a
    // device clear abandoned.
    std::uint32_t messagesAtParser = 0;
    std::uint32_t abandonedMessages = 0;

private:
    CKorvexHostParser* Parser() const;

    CKorvexHostParser* parser;
    CKorvexScpiStatus status;
};

}  // namespace Korvex
