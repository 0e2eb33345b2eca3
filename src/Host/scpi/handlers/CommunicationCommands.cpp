#include "Host/scpi/handlers/CommunicationCommands.h"

#include <strings.h>

#include <string>

#include "Host/main/CommunicationModules.h"
#include "Host/main/KorvexNetworkThread.h"
#include "Host/main/KorvexPower.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/RecursiveMutex.h"
#include "Host/scpi/exec/ParsedCommand.h"
#include "Host/scpi/exec/ReplyAssembly.h"
#include "Host/scpi/host/KorvexHost.h"
#include "Host/scpi/parser/KorvexHostParser.h"
#include "Host/scpi/status/KorvexScpiStatus.h"

namespace Korvex {

namespace {

constexpr std::uint32_t RowAddressChanged = 47;  // OPERation:BIT11

void* ReadPointer(CParameterNode* node)
{
    CRecursiveLock tree(ParameterTreeLock());
    return CParameterNode::GetPointerAttribute(node, eAttrValue);
}

// Enables or disables an interface whose host object is the value of objectNode. The host
// that asks may not switch off its own interface; another host switching it off first
// drops that interface's queued messages.
void InterfaceEnable(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host,
                     CParameterNode* enableNode, CParameterNode* objectNode)
{
    const bool enable = command.GetBool(0, enableNode) != 0;
    if (command.status != 0) return;
    auto* own = static_cast<CKorvexHost*>(ReadPointer(objectNode));
    if (own == &host) {
        if (!enable) {
            command.Latch(ParsedSettingsConflict);
            return;
        }
    } else if (!enable && own != nullptr) {
        parser.RemovePendingMessages(own);
    }
    CParameterNode::SetValue(enableNode, enable);
}

}  // namespace

void EthernetEnableCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host)
{
    InterfaceEnable(parser, command, host, g_pEthernetEnabled, g_pVxi11Object);
}

void UsbtmcEnableCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host)
{
    InterfaceEnable(parser, command, host, g_pUsbtmcEnabled, g_pUsbtmcObject);
}

void EthernetAddressCommand(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    const std::string text = command.GetString(0, nullptr);
    if (command.status != 0) return;
    if (strcasecmp(text.c_str(), "AUTO") == 0) {
        CParameterNode::SetValue(g_pEthernetAutoAddress, true);
    } else {
        CParameterNode::SetValue(g_pEthernetAutoAddress, false);
        CParameterNode::SetValue(g_pEthernetIpAddress, text);
    }
    CKorvexScpiStatus::SetStatusBit(host.StatusBlock(), RowAddressChanged, 1, 0);
}

void EthernetRestartCommand(CKorvexHostParser&, ParsedCommand&, CKorvexHost&)
{
    // Asked for over VXI-11, the restart would cut off this very session before its reply
    // has left.
    if (!KorvexDeferPastOwnMessage(&KorvexStartNetworkThread)) KorvexStartNetworkThread();
}

void LockRequestQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    bool granted = false;
    {
        CRecursiveLock tree(ParameterTreeLock());
        void* holder = CParameterNode::GetPointerAttribute(g_pParametersLock, eAttrValue);
        granted = holder == nullptr || holder == &host;
    }
    // Stored (and its subscribers told) after the tree lock is released.
    if (granted) CParameterNode::SetValue(g_pParametersLock, static_cast<void*>(&host));
    AppendResponse(command, granted ? "1" : "0", true);
}

void LockReleaseCommand(CKorvexHostParser&, ParsedCommand&, CKorvexHost&)
{
    CParameterNode::SetValue(g_pParametersLock, static_cast<void*>(nullptr));
}

void PowerOffCommand(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    // A Boolean node whose attributes are all 0 gives the default: power off.
    CParameterNode* defaults = new CParameterNode(eNodeBoolean, "poff");
    const bool restart = command.GetBool(0, defaults) != 0;
    CParameterNode::Delete(defaults);
    if (command.status != 0) return;
    CKorvexPower::RequestShutdown(restart ? CKorvexPower::eRestartSaving : CKorvexPower::eSwitchOff);
}

}  // namespace Korvex
