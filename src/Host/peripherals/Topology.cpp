#include "Host/peripherals/Topology.h"

#include <memory>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/peripherals/CKorvexMultiplexer.h"
#include "Host/peripherals/CKorvexPulsedCamera.h"
#include "Host/peripherals/CKorvexPulsedCameraHead.h"
#include "Host/peripherals/CKorvexPulsedProbe.h"
#include "Host/peripherals/CTopologyMonitorThread.h"
#include "Host/peripherals/PeripheralBus.h"
#include "Host/peripherals/PeripheralCommands.h"
#include "Host/peripherals/PeripheralLookup.h"
#include "Host/peripherals/ProbeXml.h"
#include "Host/peripherals/TopologyLock.h"

namespace Korvex {

namespace {

CKorvexPeripheral* NodeDevice(CParameterNode* node)
{
    CRecursiveLock tree(ParameterTreeLock());
    if (node->GetType() != eNodePointer) return nullptr;
    return static_cast<CKorvexPeripheral*>(CParameterNode::GetPointerAttribute(node, eAttrValue));
}

void SetCurrentProbe(CKorvexPeripheral* device)
{
    if (g_pCurrentProbeObject != nullptr)
        CParameterNode::SetValue(g_pCurrentProbeObject, static_cast<void*>(device));
}

CKorvexPeripheral* CurrentProbe()
{
    CRecursiveLock tree(ParameterTreeLock());
    return static_cast<CKorvexPeripheral*>(
        CParameterNode::GetPointerAttribute(g_pCurrentProbeObject, eAttrValue));
}

// Depth-first, the devices below a node before the node's own: each node loses its keep
// flag and its value before its device is deleted (caller holds the tree lock).
void DestroyDevices(CParameterNode* node)
{
    for (CParameterNode* child = node->GetFirstChild(); child != nullptr;
         child = child->GetNextSibling()) {
        DestroyDevices(child);
        CParameterNode::SetKeepFlags(child, 0);
        CKorvexPeripheral* device = NodeDevice(child);
        if (device == nullptr) continue;
        CParameterNode::SetPointerAttribute(child, eAttrValue, nullptr);
        delete device;
    }
}

// The socket level followed by the entry's route.
CKorvexChannel InstrumentChannel(const CKorvexChannel& route)
{
    CKorvexChannel channel;
    channel.AddLevel(1);
    for (unsigned i = 0; i < route.count && channel.count < CKorvexChannel::MaxLevels; ++i)
        channel.AddLevel(route.level[i]);
    return channel;
}

// Publishes the device, or deletes it when it gets no node; the device or null.
template <typename Device>
Device* Publish(std::unique_ptr<Device> device)
{
    if (!AddPeripheralNode(device.get())) return nullptr;
    return device.release();
}

// One topology entry's devices; the measuring channels go to the output.
void BuildEntry(const TopologyEntry& entry, std::vector<CKorvexChannel>& channels)
{
    const CKorvexChannel channel = InstrumentChannel(entry.channel);
    CKorvexPeripheral* made = nullptr;
    switch (entry.identifier.typeCode) {
        case kTypeMultiplexer: {
            auto mux = std::make_unique<CKorvexMultiplexer>(channel, entry.identifier,
                                                            entry.channelCount);
            if (mux->Initialise() == 0) made = Publish(std::move(mux));
            break;
        }
        case kTypePulsedProbe:
            made = Publish(std::make_unique<CKorvexPulsedProbe>(channel, entry.identifier));
            break;
        case kTypePulsedCamera: {
            auto owner = std::make_unique<CKorvexPulsedCamera>(channel, entry.identifier);
            if (owner->Initialise() != 0) break;
            CKorvexPulsedCamera* camera = Publish(std::move(owner));
            made = camera;
            // A camera at the deepest level has no room for a head level.
            if (camera == nullptr || channel.count >= CKorvexChannel::MaxLevels) break;
            const std::uint8_t heads = camera->GetSubChannelCount();
            for (unsigned h = 1; h <= heads; ++h) {
                CKorvexPulsedCameraHead* head = Publish(
                    std::make_unique<CKorvexPulsedCameraHead>(camera, static_cast<std::uint8_t>(h)));
                if (head != nullptr) channels.push_back(head->GetChannel());
            }
            break;
        }
        default:
            break;
    }
    if (made != nullptr && made->IsMeasuring()) channels.push_back(made->GetChannel());
}

int CaughtCode(int code) { return code != 0 ? code : eGeneralFailure; }

}  // namespace

bool AddPeripheralNode(CKorvexPeripheral* device)
{
    CParameterNode* node = nullptr;
    if (CParameterNode::Create(g_pPeripherals, ChannelPath(device->GetChannel()), eNodePointer,
                               &node) != eOk ||
        node == nullptr || node->GetType() != eNodePointer)
        return false;
    CParameterNode::SetValue(node, static_cast<void*>(device));
    return true;
}

void CollectChannels(std::vector<CKorvexChannel>& channels, CParameterNode* node, bool clear)
{
    if (clear) channels.clear();
    if (node == nullptr) return;
    CRecursiveLock tree(ParameterTreeLock());
    for (CParameterNode* child = node->GetFirstChild(); child != nullptr;
         child = child->GetNextSibling()) {
        CollectChannels(channels, child, false);
        CKorvexPeripheral* device = NodeDevice(child);
        if (device != nullptr && device->IsMeasuring()) channels.push_back(device->GetChannel());
    }
}

void ResetPeripheralNodes(CParameterNode* node, bool prune)
{
    if (node == nullptr) return;
    CRecursiveLock topology(TopologyLock());
    // Nobody may reach an object through current_probe/object once it is being deleted.
    if (g_pCurrentProbeObject != nullptr && CurrentProbe() != nullptr) SetCurrentProbe(nullptr);
    {
        CRecursiveLock tree(ParameterTreeLock());
        DestroyDevices(node);
    }
    if (!prune) return;
    // Below the node only: the node itself stays.
    CParameterNode* child = node->GetFirstChild();
    while (child != nullptr) {
        CParameterNode* next = child->GetNextSibling();
        CParameterNode::Prune(child);
        child = next;
    }
}

int CKorvexPeripheral::BuildTopology(std::vector<CKorvexChannel>& channels)
{
    CRecursiveLock topology(TopologyLock());
    channels.clear();
    std::vector<TopologyEntry> list;
    try {
        PeripheralReadTopology(list);
    } catch (int code) {
        return CaughtCode(code);
    }
    ResetPeripheralNodes(g_pPeripherals, true);
    for (const TopologyEntry& entry : list) BuildEntry(entry, channels);
    if (PeripheralNodeAt("1") != nullptr) NumberChannels("1", 1);
    // The rebuild a broken path asks for is done: the next break is reported again.
    if (g_pNmrPathBroken != nullptr) CParameterNode::SetValue(g_pNmrPathBroken, false);
    return eOk;
}

int CKorvexPeripheral::RefreshTopology(std::vector<CKorvexChannel>& channels)
{
    CRecursiveLock topology(TopologyLock());
    int code = eOk;
    try {
        channels.clear();
        bool changed = true;
        bool rebuild = true;
        if (CheckTopologyChanged(changed, rebuild) != 0) throw static_cast<int>(eNoPeripheralConnected);
        if (!changed) {
            Logger().Printf("Topology didn't change\n");
            CollectChannels(channels, g_pPeripherals, true);
        } else {
            Logger().Printf("Retrieving topology.\n");
            if (int r = BuildTopology(channels)) {
                Logger().Printf("\nTopology couldn't be (or not totally) retrieved.\n");
                throw r;
            }
        }
        if (channels.empty()) {
            Logger().Printf("EMPTY\n");
            return eNoPeripheralConnected;
        }
        return eOk;
    } catch (int e) {
        code = CaughtCode(e);
    }
    ResetPeripheralNodes(g_pPeripherals, true);
    channels.clear();
    return code;
}

int CKorvexPeripheral::SelectChannel(const CKorvexChannel& channel, CKorvexPeripheral*& peripheral)
{
    peripheral = nullptr;
    CRecursiveLock topology(TopologyLock());
    const std::string path = ChannelPath(channel);
    Logger().Printf("CKorvexPeripheral::SelectChannel %s\n", path.c_str());
    auto* device = dynamic_cast<CKorvexPwMeasuringPeripheral*>(PeripheralAt(path));
    if (device == nullptr || !device->IsMeasuring()) return eInvalidChannelList;
    if (device->Activate() != 0) return eNoPeripheralConnected;
    SetCurrentProbe(device);
    peripheral = device;
    return eOk;
}

int CKorvexPeripheral::GetCurrentProbePath(CKorvexPeripheral*& peripheral)
{
    CRecursiveLock topology(TopologyLock());
    peripheral = nullptr;
    int code = eOk;
    CKorvexChannel route;
    std::uint16_t word = 0;
    std::uint32_t number = 0;
    try {
        if (PeripheralGetCurrentRoute(route, word, number) != 0) code = eCurrentRouteQueryFailed;
    } catch (int) {
        code = eCurrentRouteQueryFailed;
    }
    // A route of five levels below the socket would need a sixth channel level.
    if (code == eOk && route.count >= CKorvexChannel::MaxLevels) code = eNoPeripheralConnected;
    if (code == eOk) {
        const std::string path = ChannelPath(InstrumentChannel(route));
        CKorvexPeripheral* device = CurrentProbe();
        if (device != nullptr && device->IsMeasuring() && ChannelPath(device->GetChannel()) == path) {
            Logger().Printf("CurrentProbePath \"%s\"\n", path.c_str());
            peripheral = device;
            return eOk;
        }
        code = eNoPeripheralConnected;
    }
    SetCurrentProbe(nullptr);
    return code;
}

void CKorvexPeripheral::InitCKorvexPeripheral()
{
    Logger().Printf("Entering CKorvexPeripheral::InitCKorvexPeripheral\n");
    CRecursiveLock topology(TopologyLock());
    PeripheralBusInit();
    if (g_pCurrentChannelList != nullptr)
        CParameterNode::SetValue(g_pCurrentChannelList, static_cast<void*>(&SelectableChannels()));
    SetCurrentProbe(nullptr);
    PeripheralStartup(true);
    ResetPeripheralNodes(g_pPeripherals, true);
    SelectableChannels().clear();
    SetCurrentProbe(nullptr);
    InstallProbeGyroRatioSource();
    TopologyMonitor().StartOnce();
    Logger().Printf("Retrieving topology.\n");
    std::vector<CKorvexChannel> channels;
    if (BuildTopology(channels) != 0)
        Logger().Printf("Topology couldn't be (or not totally) retrieved.\n");
    ProbeXmlLoadAtStartup();
}

}  // namespace Korvex
