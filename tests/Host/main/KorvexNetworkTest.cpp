// The network configuration on the loopback stand-in and on the wire: what a run of the
// network thread leaves in eth0, ethernet_active and the address settings; the address
// strings of a record; the MAC text; the latch of shut-down.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "Host/main/HostMainFixture.h"
#include "Host/main/Ipv4LinkLocal.h"
#include "Host/main/KorvexNetwork.h"
#include "Host/main/NetWire.h"
#include "platform/net/DhcpOptions.h"
#include "platform/net/Eth0.h"

namespace Korvex::test {
namespace {

namespace net = platform::net;

std::string Text(CParameterNode* node)
{
    CRecursiveLock tree(ParameterTreeLock());
    return CParameterNode::GetStringAttribute(node, eAttrValue);
}

void SetText(CParameterNode* node, const char* text) { CParameterNode::SetValue(node, std::string(text)); }

class Network : public HostMainFixture {
protected:
    void Run()
    {
        KorvexStartNetworkThread();
        ASSERT_TRUE(KorvexWaitNetworkIdle(30000));
    }
};

TEST(NetworkEsa, SixFieldsOfOneByteOnly)
{
    struct Case {
        const char* text;
        bool ok;
    } cases[] = {
        {"02:4b:56:00:30:39", true}, {"2:4B:56:0:30:39", true},     {"02:4b:56:00:30", false},
        {"02:4b:56:00:30:100", false}, {"02:4b:56:00:30:39:01", false}, {"02:4b:56:00:30:39 ", false},
        {"", false},                 {"zz:4b:56:00:30:39", false},
    };
    for (const Case& c : cases) {
        std::uint8_t mac[6] = {};
        EXPECT_EQ(KorvexParseEsa(c.text, mac), c.ok) << c.text;
    }
    std::uint8_t mac[6] = {};
    ASSERT_TRUE(KorvexParseEsa("2:4B:56:0:30:39", mac));
    EXPECT_EQ(std::vector<std::uint8_t>(mac, mac + 6), (std::vector<std::uint8_t>{2, 0x4b, 0x56, 0, 0x30, 0x39}));
}

// A DHCP server's record: options 3 and 6 win over giaddr and siaddr; no usable option 1
// gives the natural mask; a walk without 255 stays inside the area.
TEST(NetworkAddressStrings, FromTheRecord)
{
    struct Case {
        const char* what;
        std::vector<std::uint8_t> body;
        const char* mask;
        const char* gateway;
        const char* dns;
        const char* domain;
    } cases[] = {
        {"full lease",
         {1, 4, 255, 255, 255, 0, 3, 4, 192, 0, 2, 1, 6, 4, 192, 0, 2, 53, 15, 8, 'l', 'a', 'b', '.', 't', 'e', 's', 't',
          255},
         "255.255.255.0", "192.0.2.1", "192.0.2.53", "lab.test"},
        {"fields only", {255}, "255.255.255.0", "0.0.0.0", "192.0.2.9", "local"},
        {"mask of 3 bytes", {1, 3, 255, 255, 0, 255}, "255.255.255.0", "0.0.0.0", "192.0.2.9", "local"},
        {"no end, domain runs past", {}, "255.255.255.0", "0.0.0.0", "192.0.2.9", "local"},
    };
    cases[3].body.assign(296, 0);
    cases[3].body.insert(cases[3].body.end(), {15, 200, 'x', 'y'});
    for (const Case& c : cases) {
        net::BootpRecord record;
        record.yiaddr = inet_addr("192.0.2.50");
        record.siaddr = inet_addr("192.0.2.9");
        std::memset(record.options, 0xEE, sizeof record.options);  // stale bytes past the options
        std::memcpy(record.options, net::DhcpMagicCookie, 4);
        std::memcpy(record.options + 4, c.body.data(), c.body.size());
        if (c.body.back() != 255) std::memset(record.options + 4 + c.body.size(), 0, sizeof record.options - 4 - c.body.size());
        net::eth0_set_record(record);
        char address[16], mask[16], broadcast[16], gateway[16], dns[16], domain[256];
        KorvexGetAddressStrings(address, mask, broadcast, gateway, dns, domain);
        EXPECT_STREQ(address, "192.0.2.50") << c.what;
        EXPECT_STREQ(mask, c.mask) << c.what;
        EXPECT_STREQ(broadcast, "192.0.2.255") << c.what;
        EXPECT_STREQ(gateway, c.gateway) << c.what;
        EXPECT_STREQ(dns, c.dns) << c.what;
        EXPECT_STREQ(domain, c.domain) << c.what;
    }
    net::eth0_set_record(net::BootpRecord{});
}

// The deepest a call of body goes into its stack, in bytes: it runs on a stack of its own,
// filled with a pattern first, above a guard page.
std::size_t StackDepth(void (*body)())
{
    constexpr std::size_t Size = 256 * 1024;
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    void* mapped = ::mmap(nullptr, Size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return Size;
    auto* stack = static_cast<unsigned char*>(mapped) + page;
    ::mprotect(mapped, page, PROT_NONE);
    std::memset(stack, 0xA5, Size);
    static ucontext_t caller, callee;
    static void (*run)() = nullptr;
    run = body;
    ::getcontext(&callee);
    callee.uc_stack.ss_sp = stack;
    callee.uc_stack.ss_size = Size;
    callee.uc_link = &caller;
    ::makecontext(&callee, +[] { run(); }, 0);
    ::swapcontext(&caller, &callee);
    std::size_t untouched = 0;
    while (untouched < Size && stack[untouched] == 0xA5) ++untouched;
    ::munmap(mapped, Size + page);
    return Size - untouched;
}

// A run (DHCP on the stand-in, then the VXI-11 module its subscriber starts) fits in the stack
// the network thread is made with.
TEST_F(Network, ARunFitsInTheNetworkThreadsStack)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's frames are larger than the firmware's";
#endif
    ASSERT_TRUE(KorvexWaitNetworkIdle(30000));  // the thread is made, idle
    const std::size_t size = kernel::thread_info(kernel::thread_find("Korvex network thread")).stack_size;
    const std::size_t depth = StackDepth(&KorvexNetworkRun);
    ASSERT_TRUE(NodeBool(g_pEthernetActive));
    ASSERT_NE(Vxi11Host(), nullptr);
    EXPECT_LT(depth, size) << "a run goes " << depth << " bytes deep";
}

TEST_F(Network, DisabledTakesEth0DownAndStopsTheModule)
{
    Run();
    ASSERT_TRUE(NodeBool(g_pEthernetActive));
    CParameterNode::SetValue(g_pEthernetEnabled, false);
    ASSERT_TRUE(KorvexWaitNetworkIdle(30000));
    EXPECT_FALSE(NodeBool(g_pEthernetActive));
    EXPECT_EQ(Vxi11Host(), nullptr);
    EXPECT_FALSE(net::eth0_up());
    EXPECT_FALSE(net::eth0_configured());
}

// The stand-in takes the fixed record as given and answers DHCP with the bind address.
TEST_F(Network, StaticAndAutomaticOnTheStandIn)
{
    CParameterNode::SetValue(g_pEthernetAutoAddress, false);
    SetText(g_pEthernetIpAddress, "192.0.2.77");
    SetText(g_pEthernetNetMask, "255.255.255.0");
    SetText(g_pEthernetGateway, "192.0.2.1");
    Run();
    EXPECT_TRUE(NodeBool(g_pEthernetActive));
    EXPECT_EQ(KorvexAddressMode(), AddressStatic);
    EXPECT_EQ(net::eth0_record().yiaddr, inet_addr("192.0.2.77"));
    EXPECT_EQ(Text(g_pEthernetIpAddress), "192.0.2.77");

    CParameterNode::SetValue(g_pEthernetAutoAddress, true);
    Run();
    EXPECT_TRUE(NodeBool(g_pEthernetActive));
    EXPECT_EQ(KorvexAddressMode(), AddressDhcp);
    EXPECT_EQ(Text(g_pEthernetIpAddress), "127.0.0.1");
    EXPECT_EQ(Text(g_pEthernetNetMask), "255.0.0.0");
    EXPECT_EQ(Text(g_pEthernetBroadcast), "127.255.255.255");
    EXPECT_EQ(Text(g_pEthernetDomain), "local");
}

TEST_F(Network, BadMacTextLeavesEthernetInactive)
{
    CParameterNode::SetValue(g_pSystemEsa, std::string("02:4b:56:00:30:139"));
    Run();
    EXPECT_FALSE(NodeBool(g_pEthernetActive));
    EXPECT_FALSE(net::eth0_configured());
}

// No DHCP server on the wire: a link-local address, published with its mask and broadcast,
// watched by the monitor; a conflict on it gives another.
TEST_F(Network, LinkLocalFallBackAndConflict)
{
    kernel::set_tick_ms(0.5);
    WireBackend backend;
    net::eth0_use_backend(&backend);
    Run();
    const std::string first = Text(g_pEthernetIpAddress);
    EXPECT_TRUE(NodeBool(g_pEthernetActive));
    EXPECT_EQ(KorvexAddressMode(), AddressLinkLocal);
    EXPECT_EQ(first.compare(0, 8, "169.254."), 0) << first;
    EXPECT_EQ(Text(g_pEthernetNetMask), "255.255.0.0");
    EXPECT_EQ(Text(g_pEthernetBroadcast), "169.254.255.255");
    ASSERT_TRUE(Eventually([] { return ipv4ll_monitor_running(); }));

    const std::uint8_t other[6] = {6, 0x4c, 0x56, 0, 0x30, 0x39};
    const std::uint32_t taken = inet_addr(first.c_str());
    backend.wire.station = [&](WireDriver& w, const SentFrame& f, std::size_t) {
        if (f.TargetIp() == taken) w.Inject(ArpFrame(2, other, taken, 0));  // it defends
    };
    ASSERT_TRUE(Eventually([&] { return backend.wire.Receive() != backend.wire.OwnReceive(); }));
    backend.wire.Inject(ArpFrame(1, other, taken, taken));
    ASSERT_TRUE(Eventually([&] { return Text(g_pEthernetIpAddress) != first; }, 30000));
    ASSERT_TRUE(KorvexWaitNetworkIdle(30000));
    EXPECT_TRUE(NodeBool(g_pEthernetActive));
    EXPECT_EQ(backend.configured, inet_addr(Text(g_pEthernetIpAddress).c_str()));

    CParameterNode::SetValue(g_pEthernetEnabled, false);
    ASSERT_TRUE(KorvexWaitNetworkIdle(30000));
    EXPECT_FALSE(ipv4ll_monitor_running());
    net::eth0_use_backend(nullptr);
    kernel::set_tick_ms(10.0);
}

// A lost lease gives another address: it is published and the modules start again on it.
TEST_F(Network, NewAddressAfterALostLeaseIsPublished)
{
    kernel::set_tick_ms(0.5);
    OneAddressDhcp server;
    server.address.store(inet_addr("192.0.2.50"));
    WireBackend backend;
    backend.dhcp = &server;
    net::eth0_use_backend(&backend);
    Run();
    EXPECT_EQ(KorvexAddressMode(), AddressDhcp);
    EXPECT_EQ(Text(g_pEthernetIpAddress), "192.0.2.50");
    ASSERT_NE(Vxi11Host(), nullptr);
    const int gone = seam.forgotten.load();

    server.address.store(inet_addr("192.0.2.60"));  // the renewal at T1 is refused
    EXPECT_TRUE(Eventually([] { return Text(g_pEthernetIpAddress) == "192.0.2.60"; }, 20000));
    EXPECT_TRUE(Eventually([&] { return seam.forgotten.load() > gone && Vxi11Host() != nullptr; }))
        << "the VXI-11 module started again";
    EXPECT_EQ(backend.configured, inet_addr("192.0.2.60"));
    EXPECT_TRUE(NodeBool(g_pEthernetActive));
    {
        CRecursiveLock config(NetworkConfigurationMutex());
        net::eth0_use_backend(nullptr);
    }
    kernel::set_tick_ms(10.0);
}

// An ACKed address that another station answers for is declined; the next DISCOVER's lease
// is taken.
TEST_F(Network, AddressInUseIsDeclined)
{
    kernel::set_tick_ms(0.5);
    const std::uint32_t taken = inet_addr("192.0.2.50");
    const std::uint32_t other = inet_addr("192.0.2.51");
    korvex_test::ScriptedDhcp server;
    std::atomic<int> declines{0};
    server.script = [&](const korvex_test::DhcpBytes& m) {
        const korvex_test::DhcpLease lease{declines.load() == 0 ? taken : other, inet_addr("192.0.2.1"), 600, true};
        switch (korvex_test::DhcpTypeOf(m)) {
            case 1: return std::vector<korvex_test::DhcpBytes>{korvex_test::DhcpReply(m, 2, lease)};
            case 3: return std::vector<korvex_test::DhcpBytes>{korvex_test::DhcpReply(m, 5, lease)};
            case 4: ++declines; break;
        }
        return std::vector<korvex_test::DhcpBytes>{};
    };
    WireBackend backend;
    backend.dhcp = &server;
    const std::uint8_t owner[6] = {6, 0x4c, 0x56, 0, 0x30, 0x39};
    backend.wire.station = [&](WireDriver& w, const SentFrame& f, std::size_t) {
        if (f.TargetIp() == taken) w.Inject(ArpFrame(2, owner, taken, 0));
    };
    net::eth0_use_backend(&backend);
    Run();
    EXPECT_EQ(declines.load(), 1);
    EXPECT_EQ(Text(g_pEthernetIpAddress), "192.0.2.51");
    EXPECT_EQ(backend.configured, other);
    EXPECT_TRUE(NodeBool(g_pEthernetActive));
    {
        CRecursiveLock config(NetworkConfigurationMutex());
        net::eth0_use_backend(nullptr);
    }
    kernel::set_tick_ms(10.0);
}

// After a lost lease, eth0 that cannot be configured is tried again until it is, with
// ethernet_active false meanwhile.
TEST_F(Network, FailedReconfigurationIsRetried)
{
    kernel::set_tick_ms(0.5);
    struct FailingBackend : WireBackend {
        std::atomic<bool> fail{false};
        bool Configure(std::uint32_t a, std::uint32_t m, std::uint32_t b, std::uint32_t g) override
        {
            return !fail.load() && WireBackend::Configure(a, m, b, g);
        }
    } backend;
    OneAddressDhcp server;
    server.address.store(inet_addr("192.0.2.50"));
    backend.dhcp = &server;
    net::eth0_use_backend(&backend);
    Run();
    ASSERT_TRUE(NodeBool(g_pEthernetActive));
    backend.fail.store(true);
    server.address.store(inet_addr("192.0.2.60"));  // the renewal at T1 is refused
    EXPECT_TRUE(Eventually([] { return !NodeBool(g_pEthernetActive); }, 20000));
    EXPECT_FALSE(net::eth0_configured());
    backend.fail.store(false);
    EXPECT_TRUE(Eventually([] { return NodeBool(g_pEthernetActive); }, 20000));
    EXPECT_EQ(Text(g_pEthernetIpAddress), "192.0.2.60");
    EXPECT_EQ(backend.configured, inet_addr("192.0.2.60"));
    {
        CRecursiveLock config(NetworkConfigurationMutex());
        net::eth0_use_backend(nullptr);
    }
    kernel::set_tick_ms(10.0);
}

// After the latch of shut-down a run changes nothing.
TEST_F(Network, LatchedNetworkIsLeftAlone)
{
    Run();
    ASSERT_TRUE(NodeBool(g_pEthernetActive));
    KorvexLatchNetwork();
    CParameterNode::SetValue(g_pEthernetActive, false);
    Run();
    EXPECT_FALSE(NodeBool(g_pEthernetActive));
    EXPECT_TRUE(net::eth0_configured());
}

}  // namespace
}  // namespace Korvex::test
