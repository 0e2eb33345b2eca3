#include "Host/peripherals/PeripheralLookup.h"

#include <cmath>
#include <cstdio>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/peripherals/CTopologyMonitorThread.h"
#include "Host/peripherals/PeripheralCommands.h"
#include "Host/peripherals/TopologyLock.h"
#include "Host/scpi/units/MeasurementUnits.h"
#include "Host/scpi/units/SearchRange.h"

namespace Korvex {

namespace {

constexpr std::uint32_t ReplyRebuild = 0x11;

CKorvexPeripheral* NodeValue(CParameterNode* node)
{
    CRecursiveLock tree(ParameterTreeLock());
    if (node->GetType() != eNodePointer) return nullptr;
    return static_cast<CKorvexPeripheral*>(CParameterNode::GetPointerAttribute(node, eAttrValue));
}

}  // namespace

std::string ChannelPath(const CKorvexChannel& channel)
{
    std::string path;
    const unsigned count = channel.count < CKorvexChannel::MaxLevels ? channel.count
                                                                      : CKorvexChannel::MaxLevels;
    for (unsigned i = 0; i < count; ++i) {
        char level[4];
        std::snprintf(level, sizeof level, "%u", static_cast<unsigned>(channel.level[i]));
        if (i != 0) path += "/";
        path += level;
    }
    return path;
}

CParameterNode* PeripheralNodeAt(const std::string& path)
{
    CParameterNode* node = nullptr;
    if (g_pPeripherals == nullptr || path.empty()) return nullptr;
    if (CParameterNode::Find(g_pPeripherals, path, &node) != eOk) return nullptr;
    return node;
}

CKorvexPeripheral* PeripheralAt(const std::string& path)
{
    CParameterNode* node = PeripheralNodeAt(path);
    return node != nullptr ? NodeValue(node) : nullptr;
}

CKorvexPeripheral* CKorvexPeripheral::FindByPath(const std::string& path)
{
    CParameterNode* node = PeripheralNodeAt(path);
    if (node == nullptr) throw ePathNotFound;
    return NodeValue(node);
}

std::uint16_t CKorvexPeripheral::NumberChannels(const std::string& path, std::uint16_t next)
{
    CRecursiveLock topology(TopologyLock());
    CKorvexPeripheral* peripheral = FindByPath(path);
    if (peripheral == nullptr) return next;
    if (peripheral->IsMeasuring()) {
        peripheral->SetChannelNumber(next);
        return static_cast<std::uint16_t>(next + 1);
    }
    const unsigned ports = peripheral->GetSubChannelCount();
    for (unsigned i = 1; i <= ports; ++i) {
        const std::string port = path + "/" + std::to_string(i);
        // An empty port has no node.
        if (PeripheralNodeAt(port) != nullptr) next = NumberChannels(port, next);
    }
    return next;
}

int CKorvexPeripheral::CheckTopologyChanged(bool& changed, bool& rebuild)
{
    CRecursiveLock topology(TopologyLock());
    changed = true;
    rebuild = true;
    try {
        std::uint32_t reply = 0;
        if (int r = PeripheralTopologyChanged(reply)) throw r;
        bool broken = false;
        {
            CRecursiveLock tree(ParameterTreeLock());
            broken = CParameterNode::GetBooleanAttribute(g_pNmrPathBroken, eAttrValue);
        }
        changed = reply != 0 || broken;
        rebuild = reply == ReplyRebuild;
        if (!changed) {
            // No device at "1" (an empty tree after a settings save) asks for a build.
            CKorvexPeripheral* first = PeripheralAt("1");
            if (first == nullptr) {
                changed = rebuild = true;
            } else {
                TopologyEntry entry;
                if (int r = PeripheralReadTopologyEntry(entry)) throw r;
                if (static_cast<std::uint16_t>(entry.identifier.word) != first->GetIdentifierWord() ||
                    entry.identifier.number != first->GetIdentifierNumber())
                    changed = rebuild = true;
            }
        }
        return eOk;
    } catch (int code) {
        changed = rebuild = true;
        return code != 0 ? code : eGeneralFailure;
    }
}

int CKorvexPeripheral::SelectChannelFromList(const std::vector<CKorvexChannel>& channels)
{
    CRecursiveLock topology(TopologyLock());
    try {
        if (channels.empty()) throw static_cast<int>(eInvalidChannelList);
        std::vector<CKorvexPwMeasuringPeripheral*> devices;
        for (const CKorvexChannel& channel : channels) {
            auto* device = dynamic_cast<CKorvexPwMeasuringPeripheral*>(PeripheralAt(ChannelPath(channel)));
            if (device == nullptr || !device->IsMeasuring()) throw static_cast<int>(eInvalidChannelList);
            devices.push_back(device);
        }
        double low = 0.0;
        double high = 0.0;
        for (std::size_t i = 0; i < devices.size(); ++i) {
            if (devices[i]->Initialise() != 0) throw static_cast<int>(eNoData);
            const double ratio = devices[i]->GetGyroRatio();
            // A record without a ratio would make the search limits infinite.
            if (ratio == 0.0 || !std::isfinite(ratio)) throw static_cast<int>(eNoData);
            const double l = devices[i]->GetMinFreq() / ratio;
            const double h = devices[i]->GetMaxFreq() / ratio;
            if (i == 0 || l < low) low = l;
            if (i == 0 || h > high) high = h;
        }
        KorvexRescaleSearchNodes(low, high);
        CKorvexPeripheral* selected = nullptr;
        if (SelectChannel(channels.front(), selected) != 0) throw static_cast<int>(eNoPeripheralConnected);
        SelectableChannels() = channels;
        return eOk;
    } catch (int code) {
        return code;
    }
}

int CurrentProbeGyroRatio(double& ratio)
{
    CRecursiveLock tree(ParameterTreeLock());
    auto* probe = dynamic_cast<CKorvexPwMeasuringPeripheral*>(static_cast<CKorvexPeripheral*>(
        CParameterNode::GetPointerAttribute(g_pCurrentProbeObject, eAttrValue)));
    if (probe == nullptr) return eNoProbeSelected;
    const double r = probe->GetGyroRatio();
    if (r == 0.0 || !std::isfinite(r)) return eZeroRatioOrReference;
    ratio = r;
    return eOk;
}

void InstallProbeGyroRatioSource() { KorvexSetProbeGyroRatioSource(&CurrentProbeGyroRatio); }

}  // namespace Korvex
