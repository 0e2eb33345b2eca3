// Detached Float64 nodes bound in place of the settings nodes the unit conversions and the
// search range use, and a programmable probe gyromagnetic ratio.
#pragma once

#include <gtest/gtest.h>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/scpi/units/MeasurementUnits.h"

namespace Korvex::test {

class UnitsFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        Bind(g_pNominalPGyroRatio, "nominal_p_gyro_ratio", 0);
        Bind(g_pUnitsPpmRef, "ppm_ref", 1);
        Bind(g_pSearchLow, "low", 2);
        Bind(g_pSearchHigh, "high", 3);
        Bind(g_pSearchValue, "value", 4);
    }

    void TearDown() override
    {
        KorvexSetProbeGyroRatioSource(nullptr);
        for (unsigned i = 0; i < kNodes; ++i) {
            *bound[i] = saved[i];
            CParameterNode::Delete(nodes[i]);
        }
    }

    static void SetValue(CParameterNode* node, double value)
    {
        CParameterNode::SetFloat64Attribute(node, eAttrValue, value);
    }
    static double Value(CParameterNode* node, eNodeAttribute attribute = eAttrValue)
    {
        return CParameterNode::GetFloat64Attribute(node, attribute);
    }

    // A selected probe whose nucleus has the ratio held in probeRatio (read under the
    // tree lock, since the source is called inside it).
    void InstallProbe(double ratio)
    {
        probeRatio = ratio;
        KorvexSetProbeGyroRatioSource([this](double& out) {
            out = probeRatio;
            return static_cast<int>(eOk);
        });
    }

    double probeRatio = 0.0;

private:
    static constexpr unsigned kNodes = 5;

    void Bind(CParameterNode*& pointer, const char* name, unsigned slot)
    {
        bound[slot] = &pointer;
        saved[slot] = pointer;
        nodes[slot] = new CParameterNode(eNodeFloat64, name);
        pointer = nodes[slot];
    }

    CParameterNode** bound[kNodes] = {};
    CParameterNode* saved[kNodes] = {};
    CParameterNode* nodes[kNodes] = {};
};

}  // namespace Korvex::test
