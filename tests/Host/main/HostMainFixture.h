// The factory tree, bound, a running parser published in host_if/scpi_parser/object, the
// engine with the fake VXI-11 and USB servers, an acquisition seam that counts the host
// objects that went, and the communication subscriptions of the main thread.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/main/CommunicationModules.h"
#include "Host/main/KorvexHostEthernet.h"
#include "Host/main/KorvexNetwork.h"
#include "Host/main/KorvexNetworkThread.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/scpi/parser/KorvexHostParser.h"
#include "Host/scpi/status/KorvexScpiStatus.h"
#include "engine/TestDevice.h"
#include "engine/api/ZoDeviceApi.h"
#include "support/FactoryTree.h"

namespace Korvex::test {

// Counts the status blocks the host objects hand back on their way out.
class CCountingSeam : public CAcquisitionSeam {
public:
    void ForgetInitiator(CKorvexScpiStatus*) override { forgotten.fetch_add(1); }
    int Clear() override { return clearResult.load(); }
    std::atomic<int> forgotten{0};
    std::atomic<int> clearResult{43};
};

// Polls until the condition holds or limitMs passed (by default a deadline generous enough for
// a loaded machine: a wait that is met returns at once).
template <typename Condition>
bool Eventually(Condition condition, int limitMs = 30000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline void* NodePointer(CParameterNode* node)
{
    CRecursiveLock tree(ParameterTreeLock());
    return CParameterNode::GetPointerAttribute(node, eAttrValue);
}

inline bool NodeBool(CParameterNode* node)
{
    CRecursiveLock tree(ParameterTreeLock());
    return CParameterNode::GetBooleanAttribute(node, eAttrValue);
}

// The oldest queued error of a block as "<code>,<text>".
inline std::string NextError(CKorvexScpiStatus* block)
{
    const std::uint32_t row = CKorvexScpiStatus::PopError(block);
    std::int16_t code = 0;
    std::string text;
    CKorvexScpiStatus::GetErrorText(row, code, text);
    return std::to_string(code) + "," + text;
}

class HostMainFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = korvex_test::LoadFactoryTree();
        ASSERT_NE(root, nullptr);
        // The name service would hold the network's subscriber for 5 s at every start.
        CParameterNode::SetValue(g_pNbnsEnabled, false);
        CParameterNode::SetStringAttribute(g_pSystemEsa, eAttrValue, "02:4b:56:00:30:39");
        KorvexUnlatchNetwork();
        CAcquisitionSeam::Install(&seam);
        parser = std::make_unique<CKorvexHostParser>();
        ASSERT_EQ(parser->Running(), 1);
        CParameterNode::SetValue(g_pScpiParserObject, static_cast<void*>(parser.get()));
        FakeServers::Install();
        CParameterNode::Subscribe(g_pEthernetEnabled, &KorvexOnEthernetEnabledChanged, nullptr);
        CParameterNode::Subscribe(g_pEthernetActive, &KorvexOnEthernetActiveChanged, nullptr);
        CParameterNode::Subscribe(g_pVxi11Enabled, &KorvexUpdateTcpIpScpiModule, nullptr);
    }

    void TearDown() override
    {
        EXPECT_TRUE(KorvexWaitNetworkIdle(30000));
        CParameterNode::SetValue(g_pEthernetActive, false);
        parser.reset();
        zo_device_stop_tcpip_server();
        zo_device_stop_usb_server();
        CAcquisitionSeam::Install(nullptr);
        korvex_test::UnloadFactoryTree(root);
    }

    // Starts the VXI-11 module; its host and the fake transport of its session.
    CKorvexHostEthernet* StartModule()
    {
        CParameterNode::SetValue(g_pEthernetActive, true);
        auto* host = Vxi11Host();
        transport = FakeServers::Factory(kServerKindVxi11).Last();
        return host;
    }

    static CKorvexHostEthernet* Vxi11Host()
    {
        auto* host = static_cast<CKorvexHost*>(NodePointer(g_pVxi11Object));
        return host != nullptr ? static_cast<CKorvexHostEthernet*>(host) : nullptr;
    }

    // Writes a message and reads its whole reply ("" when none within timeoutMs).
    std::string Exchange(const std::string& message, int timeoutMs = 30000)
    {
        if (!transport->HostWrite(message, true)) return "<not taken>";
        std::uint32_t reason = 0;
        return transport->HostRead(8192, &reason, timeoutMs);
    }

    CParameterNode* root = nullptr;
    CCountingSeam seam;
    std::unique_ptr<CKorvexHostParser> parser;
    FakeTransport* transport = nullptr;
};

}  // namespace Korvex::test
