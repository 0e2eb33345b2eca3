// The DSP message link: frames, the link state machine and the DSP lock.
#include "Host/acquisition/CKorvexDSP.h"

#include <atomic>
#include <mutex>

#include "Host/acquisition/AcqExceptions.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/Logger.h"
#include "board/hpi.h"
#include "platform/kernel/Kernel.h"

namespace Korvex {
namespace CKorvexDSP {

namespace {

// The link globals. Built on first use and never destroyed, so that threads still running
// at exit find them intact; the two frame buffers are allocated here once.
struct Link {
    Link() : sendBuffer(new DSPMessageFrame()), replyBuffer(new DSPMessageFrame())
    {
        kernel::mutex_init(&dspLock);
    }

    // The DSP lock: not counting; owner is the thread handle, 0 when free.
    kernel::Mutex dspLock;
    std::atomic<kernel::handle_t> owner{0};

    // Protected by the ownership of the DSP lock.
    std::uint32_t sequence = 0;
    std::int32_t state = LinkNotBooted;
    DSPMessageFrame* sendBuffer;
    DSPMessageFrame* replyBuffer;

    // The status block is read without the DSP lock, so its copy has a lock of its own.
    std::mutex statusMutex;
    DSPStatusBlock lastStatus{};
};

Link& TheLink()
{
    static Link* link = new Link();
    return *link;
}

// Takes the DSP lock for the calling thread unless it owns it already. False when the wait
// for the mutex was broken.
bool TakeDSPLock()
{
    Link& link = TheLink();
    const kernel::handle_t self = kernel::thread_self();
    if (link.owner.load(std::memory_order_acquire) == self) return true;
    if (!kernel::mutex_lock(&link.dspLock)) return false;
    link.owner.store(self, std::memory_order_release);
    return true;
}

}  // namespace

std::uint32_t SendMessage(std::uint32_t id)
{
    if (!TakeDSPLock()) return eGeneralFailure;
    return FSMDspIf(EventSend, id, 0);
}

std::uint32_t ReceiveMessage(std::uint32_t expectedId, std::uint32_t& resultWord)
{
    const std::uint32_t result = FSMDspIf(EventReceive, 0, expectedId);
    resultWord = result == 0 ? TheLink().replyBuffer->word[2] : 0;
    return result;
}

void ReleaseDSP()
{
    Link& link = TheLink();
    if (link.owner.load(std::memory_order_acquire) != kernel::thread_self()) return;
    link.owner.store(0, std::memory_order_release);
    kernel::mutex_unlock(&link.dspLock);
}

bool AcquireDSP()
{
    return TakeDSPLock();
}

void SetNotBooted()
{
    TheLink().state = LinkNotBooted;
}

bool OwnsDSP()
{
    return TheLink().owner.load(std::memory_order_acquire) == kernel::thread_self();
}

std::int32_t GetLinkState()
{
    return TheLink().state;
}

std::uint32_t GetSequenceCounter()
{
    return TheLink().sequence;
}

DSPStatusBlock ReadStatusBlock()
{
    DSPStatusBlock block{};
    hpi_read_block(StatusBlockAddress, block.word, 4);
    Link& link = TheLink();
    std::lock_guard<std::mutex> lock(link.statusMutex);
    link.lastStatus = block;
    return block;
}

DSPStatusBlock GetLastStatusBlock()
{
    Link& link = TheLink();
    std::lock_guard<std::mutex> lock(link.statusMutex);
    return link.lastStatus;
}

void AckHostInterrupt()
{
    hpi_clear_host_interrupt();
}

const char* GetInterruptDeviceName()
{
    return "/dev/dsp-int";
}

std::uint32_t* SendBuffer()
{
    return TheLink().sendBuffer->word;
}

const std::uint32_t* ReplyBuffer()
{
    return TheLink().replyBuffer->word;
}

std::uint32_t DSPWrite()
{
    Link& link = TheLink();
    std::uint32_t* frame = link.sendBuffer->word;
    const std::uint32_t n = GetRequestLength(frame[0]) / 4;
    if (n == 0) return eGeneralFailure;  // builders only write ids of the table
    frame[1] = link.sequence++;
    frame[n - 1] = ComputeCheckWord(frame, n);
    hpi_clear_host_interrupt();
    hpi_write_word(RequestIdAddress, frame[0]);
    hpi_write_block(RequestFrameAddress, frame, n);
    hpi_raise_dsp_interrupt();
    return 0;
}

std::uint32_t DSPRead(std::uint32_t expectedId)
{
    Link& link = TheLink();
    const std::uint32_t id = hpi_read_word(ReplyIdAddress);
    if (id != expectedId) {
        Logger().Printf("CKorvexDSP::DSPRead:Invalid Message ID, Expected 0x%05X Read 0x%05X\n",
                        static_cast<unsigned>(expectedId), static_cast<unsigned>(id));
        return eDspUnexpectedReplyId;
    }
    const std::uint32_t n = GetReplyLength(id) / 4;
    if (n == 0) return eDspUnexpectedReplyId;
    std::uint32_t* frame = link.replyBuffer->word;
    hpi_read_block(ReplyFrameAddress, frame, n);
    if ((frame[2] & ReplyErrorFlag) != 0) {
        Logger().Printf("CKorvexDSP::DSPRead:Message error flag set\n");
        return eDspReplyErrorFlag;
    }
    if (!IsFrameValid(frame, n)) {
        Logger().Printf("CKorvexDSP::DSPRead:Invalid CRC\n");
        return eDspReplyCheckWord;
    }
    link.sequence++;
    Logger().Printf("Received %s message from DSP\n", GetReplyName(id));
    return 0;
}

std::uint32_t FSMDspIf(std::uint32_t event, std::uint32_t id, std::uint32_t expectedId)
{
    Link& link = TheLink();
    std::uint32_t result = 0;
    try {
        switch (link.state) {
        case LinkNotBooted:
            // Before SYSTEM_READY nothing but its receipt is accepted, whatever the event.
            if (event != EventReceive || expectedId != SYSTEM_READY) throw CDSPNotBootedException();
            result = DSPRead(SYSTEM_READY);
            if (result == 0) link.state = LinkReady;
            break;
        case LinkReady:
            if (event != EventSend) throw CDSPIFException();
            result = BuildAndWriteMessage(id);
            link.state = LinkAwaitingReply;
            break;
        case LinkAwaitingReply:
            if (event == EventSend) {
                if (id != ABORT) throw CDSPIFException();
                result = BuildAndWriteMessage(ABORT);
            } else if (event == EventReceive) {
                result = DSPRead(expectedId);
                link.state = LinkReady;
            } else {
                throw CDSPIFException();
            }
            break;
        default:
            throw CDSPIFException();
        }
    } catch (const CDSPNotBootedException& e) {
        Logger().Printf("CKorvexDSP::FSMDspIf: %s\n", e.what());
        link.state = LinkNotBooted;
        if (result == 0) result = eAcquisitionNotUp;
    } catch (const CDSPIFException& e) {
        Logger().Printf("CKorvexDSP::FSMDspIf: %s\n", e.what());
        link.state = LinkReady;
        if (result == 0) result = eGeneralFailure;
    } catch (...) {
        Logger().Printf("CKorvexDSP::FSMDspIf: Unforeseen exception\n");
        link.state = LinkReady;
        if (result == 0) result = eGeneralFailure;
    }
    return result;
}

}  // namespace CKorvexDSP
}  // namespace Korvex
