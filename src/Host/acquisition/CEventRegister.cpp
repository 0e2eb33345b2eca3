#include "Host/acquisition/CEventRegister.h"

#include <cstdio>
#include <cstring>

#include "Host/acquisition/AcqExceptions.h"
#include "Host/acquisition/CKorvexDSP.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/scpi/status/KorvexScpiStatus.h"
#include "platform/devio/DevIo.h"
#include "platform/kernel/Kernel.h"

namespace Korvex {

namespace {

constexpr std::int32_t NmrPathBrokenError = 50;
constexpr std::uint32_t RefClockStatusRow = 40;  // QUEStionable 0x800

}  // namespace

CEventRegister::CEventRegister(CMailBox<AbortMsg>& abortBox, CMailBox<PipeMsg>& messageBox,
                               CDspIntr& dspInt)
    : abortMailbox(abortBox), messageMailbox(messageBox), dspInterrupt(dspInt)
{
}

std::uint32_t CEventRegister::WaitForEvent(std::uint8_t flags, std::int16_t timeoutMs,
                                           std::uint8_t abortable) const
{
    // The watched objects in priority order.
    const CRegistrableObject* watched[3];
    unsigned count = 0;
    if (abortable != 0) watched[count++] = &abortMailbox;
    if ((flags & EventDsp) != 0) watched[count++] = &dspInterrupt;
    if ((flags & EventMessage) != 0) watched[count++] = &messageMailbox;

    devio::FdSet readSet;
    devio::devio_fd_zero(&readSet);
    int nfds = 0;
    for (unsigned i = 0; i < count; ++i) {
        devio::devio_fd_set(watched[i]->fd, &readSet);
        if (watched[i]->fd + 1 > nfds) nfds = watched[i]->fd + 1;
    }

    const std::int64_t ticks =
        timeoutMs < 0 ? devio::kWaitForever
                      : static_cast<std::int64_t>(
                            kernel::ms_to_ticks(static_cast<std::uint32_t>(timeoutMs)));
    const int ready = devio::devio_select(nfds, &readSet, nullptr, ticks);
    if (ready < 0) {
        std::fprintf(stderr, "%s: %s\n", "CEventRegister::WaitForEvent", std::strerror(-ready));
        throw CFatalAcqException(AcqLocation(eFatalWaitSelect));
    }
    if (ready == 0) return ResultTimeout;

    for (unsigned i = 0; i < count; ++i) {
        if (!devio::devio_fd_isset(watched[i]->fd, &readSet)) continue;
        if (watched[i] == &abortMailbox) {
            AbortMsg message;
            if (!abortMailbox.Read(message)) break;
            if (message.reason == AbortMsg::AbortRequest) {
                throw CAbortException(CCompletionSemaphore::Find(message.completion));
            }
            throw CAcqError(static_cast<std::int32_t>(message.reason));
        }
        if (watched[i] == &dspInterrupt) {
            CKorvexDSP::AckHostInterrupt();
            return ResultDsp;
        }
        return ResultMessage;
    }
    throw CFatalAcqException(AcqLocation(eFatalWaitSelect));
}

void NMRPathIsBroken(CParameterNode* /*node*/, int event, void* /*user*/)
{
    if (event != eEventValueChanged) return;
    if (!CParameterNode::GetBooleanAttribute(g_pNmrPathBroken, eAttrValue)) return;
    Logger().Printf("CKorvexHostAcquisition::NMRPathIsBroken()\n");
    AbortMsg message;
    message.reason = NmrPathBrokenError;
    CMailBox<AbortMsg> mailbox(AcqAbortPipePath);
    mailbox.Write(message);
}

void KorvexUpdateRefClockStatus(CParameterNode* /*node*/, int event, void* /*user*/)
{
    if (event != eEventValueChanged) return;
    const std::string mode = CParameterNode::GetStringAttribute(g_pSearchMode, eAttrValue);
    const bool detected = CParameterNode::GetBooleanAttribute(g_pExternalClockDetected, eAttrValue);
    const bool locked = CParameterNode::GetBooleanAttribute(g_pExternalClockLocked, eAttrValue);
    const bool questionable = mode == "MANual" || (detected && !locked);
    CKorvexScpiStatus::SetInstrumentStatusBit(RefClockStatusRow, questionable ? 1 : 0, 0);
}

}  // namespace Korvex
