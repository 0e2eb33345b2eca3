#include "Host/acquisition/AcqNodeValues.h"

#include <cstring>

#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/RecursiveMutex.h"
#include "Host/peripherals/CKorvexPeripheral.h"

namespace Korvex {

std::string AcqReadString(CParameterNode* node)
{
    CRecursiveLock lock(ParameterTreeLock());
    return CParameterNode::GetStringAttribute(node, eAttrValue);
}

bool AcqReadBool(CParameterNode* node)
{
    CRecursiveLock lock(ParameterTreeLock());
    return CParameterNode::GetBooleanAttribute(node, eAttrValue);
}

std::int32_t AcqReadInt(CParameterNode* node)
{
    CRecursiveLock lock(ParameterTreeLock());
    return CParameterNode::GetInt32Attribute(node, eAttrValue);
}

double AcqReadDouble(CParameterNode* node)
{
    CRecursiveLock lock(ParameterTreeLock());
    return CParameterNode::GetFloat64Attribute(node, eAttrValue);
}

void AcqStoreIfChanged(CParameterNode* node, bool value)
{
    if (node != nullptr && AcqReadBool(node) != value) CParameterNode::SetValue(node, value);
}

void AcqStoreIfChanged(CParameterNode* node, std::int32_t value)
{
    if (node != nullptr && AcqReadInt(node) != value) CParameterNode::SetValue(node, value);
}

void AcqStoreIfChanged(CParameterNode* node, double value)
{
    if (node != nullptr && AcqReadDouble(node) != value) CParameterNode::SetValue(node, value);
}

std::string AcqChannelPath(const CKorvexChannel& channel)
{
    std::string path;
    const unsigned count = channel.count < CKorvexChannel::MaxLevels ? channel.count : CKorvexChannel::MaxLevels;
    for (unsigned i = 0; i < count; ++i) {
        if (i != 0) path += "/";
        path += std::to_string(static_cast<unsigned>(channel.level[i]));
    }
    return path;
}

CKorvexChannel AcqChannelOf(const CKorvexPeripheral* peripheral)
{
    CKorvexChannel channel;
    const std::string name = CKorvexPeripheral::GetName(peripheral);
    std::memcpy(&channel, name.data(), name.size() < sizeof channel ? name.size() : sizeof channel);
    if (channel.count > CKorvexChannel::MaxLevels) channel.count = CKorvexChannel::MaxLevels;
    return channel;
}

}  // namespace Korvex
