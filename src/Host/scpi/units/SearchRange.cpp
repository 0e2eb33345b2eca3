#include "Host/scpi/units/SearchRange.h"

#include "Host/parameters/Bindings.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/RecursiveMutex.h"

namespace Korvex {

namespace {

double Get(CParameterNode* node, eNodeAttribute attribute)
{
    return CParameterNode::GetFloat64Attribute(node, attribute);
}

void Set(CParameterNode* node, eNodeAttribute attribute, double value)
{
    CParameterNode::SetFloat64Attribute(node, attribute, value);
}

double Clamp(double value, double low, double high)
{
    if (value < low) return low;
    if (value > high) return high;
    return value;
}

// Writes the search value's range and its clamped value.
void WriteSearchValue(double low, double high, double value)
{
    Set(g_pSearchValue, eAttrMinimum, low);
    Set(g_pSearchValue, eAttrMaximum, high);
    Set(g_pSearchValue, eAttrValue, value);
}

}  // namespace

void KorvexRescaleSearchNodes(double low, double high)
{
    CRecursiveLock lock(ParameterTreeLock());

    Set(g_pSearchLow, eAttrMinimum, low);
    Set(g_pSearchLow, eAttrMaximum, high);
    Set(g_pSearchLow, eAttrDefault, low);
    Set(g_pSearchLow, eAttrValue, low);

    Set(g_pSearchHigh, eAttrMinimum, low);
    Set(g_pSearchHigh, eAttrMaximum, high);
    Set(g_pSearchHigh, eAttrDefault, high);
    Set(g_pSearchHigh, eAttrValue, high);

    const double minimum = Get(g_pSearchLow, eAttrValue);
    const double maximum = Get(g_pSearchHigh, eAttrValue);
    Set(g_pSearchValue, eAttrMinimum, minimum);
    Set(g_pSearchValue, eAttrMaximum, maximum);
    const double value = Get(g_pSearchValue, eAttrValue);
    if (value < minimum) {
        Set(g_pSearchValue, eAttrValue, minimum);
    } else if (value > maximum) {
        Set(g_pSearchValue, eAttrValue, maximum);
    }
}

void KorvexUpdateSearchRange()
{
    CRecursiveLock lock(ParameterTreeLock());
    const double value = Get(g_pSearchValue, eAttrValue);
    double low = Get(g_pSearchLow, eAttrValue);
    const double high = Get(g_pSearchHigh, eAttrValue);
    if (low > high) low = high;
    Set(g_pSearchLow, eAttrValue, low);
    WriteSearchValue(low, high, Clamp(value, low, high));
}

void KorvexUpdateSearchRange2()
{
    CRecursiveLock lock(ParameterTreeLock());
    const double value = Get(g_pSearchValue, eAttrValue);
    const double low = Get(g_pSearchLow, eAttrValue);
    double high = Get(g_pSearchHigh, eAttrValue);
    if (high < low) high = low;
    Set(g_pSearchHigh, eAttrValue, high);
    WriteSearchValue(low, high, Clamp(value, low, high));
}

}  // namespace Korvex
