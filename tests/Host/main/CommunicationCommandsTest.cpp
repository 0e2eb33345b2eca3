// The communication, lock and power commands run as the dispatcher runs them.
#include <gtest/gtest.h>

#include "Host/main/KorvexPower.h"
#include "Host/scpi/handlers/HandlerFixture.h"

namespace Korvex::test {
namespace {

class CommunicationCommands : public HandlerFixture {
protected:
    void SetUp() override
    {
        HandlerFixture::SetUp();
        other = std::make_unique<CHandlerTestHost>(&device, parser.get());
        std::uint32_t reason = 0;
        while (CKorvexPower::WaitForPowerEvent(reason, 0)) {
        }
    }
    void TearDown() override
    {
        other.reset();
        HandlerFixture::TearDown();
    }

    // Runs a unit as the other host.
    ParsedCommand RunAsOther(const std::string& unit)
    {
        response.clear();
        ParsedCommand record = Parse(unit);
        ScpiCommandHandlerTable[record.command](*parser, record, *other);
        return record;
    }

    static bool Bool(CParameterNode* node)
    {
        CRecursiveLock tree(ParameterTreeLock());
        return CParameterNode::GetBooleanAttribute(node, eAttrValue);
    }

    static void* NodeValue(CParameterNode* node)
    {
        CRecursiveLock tree(ParameterTreeLock());
        return CParameterNode::GetPointerAttribute(node, eAttrValue);
    }

    std::unique_ptr<CHandlerTestHost> other;
};

TEST_F(CommunicationCommands, InterfaceMayNotSwitchItselfOff)
{
    CParameterNode::SetValue(g_pUsbtmcObject, static_cast<void*>(static_cast<CKorvexHost*>(host.get())));
    EXPECT_EQ(Run("SYST:COMM:USBT OFF").status, ParsedSettingsConflict);
    EXPECT_TRUE(Bool(g_pUsbtmcEnabled));
    EXPECT_EQ(Run("SYST:COMM:USBT ON").status, 0);
    EXPECT_EQ(RunAsOther("SYST:COMM:USBT OFF").status, 0);
    EXPECT_FALSE(Bool(g_pUsbtmcEnabled));

    CParameterNode::SetValue(g_pVxi11Object, static_cast<void*>(static_cast<CKorvexHost*>(other.get())));
    EXPECT_EQ(RunAsOther("SYST:COMM:ETH OFF").status, ParsedSettingsConflict);
    EXPECT_TRUE(Bool(g_pEthernetEnabled));
    EXPECT_EQ(Run("SYST:COMM:ETH 0").status, 0);
    EXPECT_FALSE(Bool(g_pEthernetEnabled));
    CParameterNode::SetValue(g_pVxi11Object, static_cast<void*>(nullptr));
    CParameterNode::SetValue(g_pUsbtmcObject, static_cast<void*>(nullptr));
}

TEST_F(CommunicationCommands, LockIsGrantedToOneHostAtATime)
{
    EXPECT_EQ(Query("SYST:LOCK:REQ?"), "1");
    EXPECT_EQ(Query("SYST:LOCK:REQ?"), "1");
    RunAsOther("SYST:LOCK:REQ?");
    EXPECT_EQ(response, "0");
    Run("SYST:LOCK:REL");
    EXPECT_EQ(NodeValue(g_pParametersLock), nullptr);
    RunAsOther("SYST:LOCK:REQ?");
    EXPECT_EQ(response, "1");
    // The lock goes with its holder.
    other.reset();
    EXPECT_EQ(NodeValue(g_pParametersLock), nullptr);
}

TEST_F(CommunicationCommands, AddressAutoOrFixed)
{
    EXPECT_EQ(Run("SYST:COMM:ETH:ADDR '192.168.7.9'").status, 0);
    EXPECT_FALSE(Bool(g_pEthernetAutoAddress));
    {
        CRecursiveLock tree(ParameterTreeLock());
        EXPECT_EQ(CParameterNode::GetStringAttribute(g_pEthernetIpAddress, eAttrValue), "192.168.7.9");
    }
    EXPECT_EQ(CKorvexScpiStatus::ReadEvent(block, eRegOperationBit11) & 1, 1);  // a pulse bit
    EXPECT_EQ(Run("SYST:COMM:ETH:ADDR AUTO").status, 0);
    EXPECT_TRUE(Bool(g_pEthernetAutoAddress));
}

TEST_F(CommunicationCommands, PowerOffOrRestart)
{
    std::uint32_t reason = 9;
    EXPECT_EQ(Run("SYST:POFF").status, 0);
    ASSERT_TRUE(CKorvexPower::WaitForPowerEvent(reason, 0));
    EXPECT_EQ(reason, 0u);
    EXPECT_EQ(Run("SYST:POFF ON").status, 0);
    ASSERT_TRUE(CKorvexPower::WaitForPowerEvent(reason, 0));
    EXPECT_EQ(reason, 2u);
    EXPECT_EQ(Run("SYST:POFF OFF").status, 0);
    ASSERT_TRUE(CKorvexPower::WaitForPowerEvent(reason, 0));
    EXPECT_EQ(reason, 0u);
}

}  // namespace
}  // namespace Korvex::test
