#include "Host/main/KorvexNetwork.h"

#include <arpa/inet.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "Host/main/CommunicationModules.h"
#include "Host/main/Ipv4LinkLocal.h"
#include "Host/main/KorvexNetworkThread.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/Thread.h"
#include "platform/net/BootpRecord.h"
#include "platform/net/DhcpOptions.h"
#include "platform/net/Eth0.h"

namespace Korvex {

namespace {

namespace net = platform::net;

constexpr const char* DefaultDomain = "local";

std::atomic<std::uint32_t> addressMode{AddressNone};
std::atomic<bool> latched{false};
// A lost lease's reconfiguration failed: the lease thread tries again (configuration mutex);
// a run of the network thread takes over and clears it.
std::atomic<bool> reconfigurePending{false};

// RFC 2131: at least 10 s between a DHCPDECLINE and the next DISCOVER.
constexpr kernel::tick_t DeclinePause = 1000;
constexpr int MaxDeclines = 3;
constexpr kernel::tick_t ReconfigurePause = 1000;

// Lease data (configuration mutex held).
struct LeaseData {
    std::uint32_t loop = 1;
    std::string host;
    bool hasHost = false;
    std::uint8_t mac[6] = {};
};

LeaseData& Lease()
{
    static LeaseData* data = new LeaseData;
    return *data;
}

bool ReadBool(CParameterNode* node)
{
    CRecursiveLock tree(ParameterTreeLock());
    return CParameterNode::GetBooleanAttribute(node, eAttrValue);
}

std::string ReadString(CParameterNode* node)
{
    CRecursiveLock tree(ParameterTreeLock());
    return CParameterNode::GetStringAttribute(node, eAttrValue);
}

void Dotted(std::uint32_t address, char out[16]) { inet_ntop(AF_INET, &address, out, 16); }

bool ParseAddress(const char* text, std::uint32_t& out)
{
    in_addr a{};
    if (text == nullptr || inet_pton(AF_INET, text, &a) != 1) return false;
    out = a.s_addr;
    return true;
}

// true is not set again once the network is latched.
void SetEthernetActive(bool on)
{
    if (!on) {
        CParameterNode::SetValue(g_pEthernetActive, false);
        return;
    }
    CRecursiveLock comm(CommunicationMutex());
    if (!latched.load()) CParameterNode::SetValue(g_pEthernetActive, true);
}

void StopLinkLocalMonitor()
{
    if (addressMode.load() == AddressLinkLocal) ipv4ll_stop_monitor();
}

// DHCP (host name given each time) until a lease whose address no other station answers for;
// an address in use is declined and a new DISCOVER follows after DeclinePause. false: no
// lease (no usable answer in time, or MaxDeclines addresses declined).
bool ObtainLease(const std::uint8_t mac[6], const char* host)
{
    for (int declined = 0;; ++declined) {
        net::dhcp_reset();
        if (host != nullptr) net::dhcp_set_host_name(host);
        if (!net::dhcp_run()) {
            Logger().Printf("DHCP: no usable answer from a server; the DHCP client gives up\n");
            return false;
        }
        char address[16];
        Dotted(net::eth0_record().yiaddr, address);
        if (!ipv4ll_address_in_use(mac, net::eth0_record().yiaddr)) return true;
        net::dhcp_decline();
        Logger().Printf("DHCP: %s is in use by another station; declined\n", address);
        if (declined + 1 >= MaxDeclines) {
            Logger().Printf("DHCP: %d addresses declined; the DHCP client gives up\n", MaxDeclines);
            return false;
        }
        kernel::thread_delay(DeclinePause);
    }
}

// eth0 on a link-local address instead of DHCP: chosen, probed and announced, watched by the
// monitor, in the record. false when eth0 has no Ethernet driver.
bool UseLinkLocal(const std::uint8_t mac[6])
{
    addressMode.store(AddressLinkLocal);
    const std::uint32_t chosen = ipv4ll_acquire_address(mac);
    if (chosen == 0) return false;
    ipv4ll_start_monitor(&KorvexStartNetworkThread);
    net::eth0_set_record(net::MakeBootpRecord(chosen, htonl(0xFFFF0000u), chosen | htonl(0x0000FFFFu), 0, 0));
    return true;
}

class CLeaseThread : public CThread {
public:
    static constexpr int ThreadPriority = 8;
    static constexpr std::size_t ThreadStackSize = 5524;
    CLeaseThread() : CThread(ThreadPriority, "Korvex DHCP lease mgt", ThreadStackSize) {}

protected:
    void ThreadMain() override
    {
        for (;;) {
            if (reconfigurePending.load()) kernel::thread_delay(ReconfigurePause);
            else net::dhcp_wait_attention();
            bool ignored = false;
            {
                CRecursiveLock config(NetworkConfigurationMutex());
                if (latched.load()) {
                    ignored = true;
                } else if (reconfigurePending.load()) {
                    Reconfigure();
                } else if (addressMode.load() != AddressDhcp) {
                    ignored = true;
                } else if (!net::dhcp_bind_step()) {
                    Logger().Printf("Korvex DHCP lease mgt: lease lost\n");
                    net::eth0_halt();
                    SetEthernetActive(false);
                    if (Lease().loop == 0) return;
                    Reconfigure();
                }
            }
            if (ignored) kernel::thread_delay(100);
        }
    }

private:
    // Configuration mutex held. A failure leaves eth0 down and the next try to the loop.
    static void Reconfigure()
    {
        LeaseData& lease = Lease();
        StopLinkLocalMonitor();
        net::eth0_halt();
        const int result = KorvexConfigureInterface(lease.mac, lease.hasHost ? lease.host.c_str() : nullptr,
                                                    nullptr, nullptr, nullptr, nullptr, nullptr);
        reconfigurePending.store(result != ConfigureOk);
        if (result != ConfigureOk) {
            StopLinkLocalMonitor();
            net::eth0_halt();
            Logger().Printf("Korvex DHCP lease mgt: eth0 not configured (%d); trying again\n", result);
            return;
        }
        char address[16], mask[16], broadcast[16], gateway[16], dns[16], domain[256];
        KorvexGetAddressStrings(address, mask, broadcast, gateway, dns, domain);
        Logger().Printf("Korvex DHCP lease mgt: eth0 up again, %s mask %s (mode %u)\n", address, mask,
                        static_cast<unsigned>(addressMode.load()));
        KorvexPublishAddresses();
        SetEthernetActive(true);
    }
};

}  // namespace

CRecursiveMutex& NetworkConfigurationMutex()
{
    static CRecursiveMutex* mutex = new CRecursiveMutex;
    return *mutex;
}

std::uint32_t KorvexAddressMode() { return addressMode.load(); }

bool KorvexParseEsa(const std::string& text, std::uint8_t mac[6])
{
    unsigned fields[6];
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x%n", &fields[0], &fields[1], &fields[2], &fields[3],
                    &fields[4], &fields[5], &consumed) != 6 ||
        static_cast<std::size_t>(consumed) != text.size())
        return false;
    for (int i = 0; i < 6; ++i) {
        if (fields[i] > 0xFF) return false;
        mac[i] = static_cast<std::uint8_t>(fields[i]);
    }
    return true;
}

int KorvexConfigureInterface(const std::uint8_t mac[6], const char* host, const char* address, const char* mask,
                             const char* broadcast, const char* gateway, const char* dnsServer)
{
    CRecursiveLock config(NetworkConfigurationMutex());
    if (!net::eth0_set_mac(mac)) return ConfigureMacFailed;
    if (!net::eth0_configured()) {
        if (address != nullptr) {
            addressMode.store(AddressStatic);
            std::uint32_t a = 0, m = 0, b = 0, g = 0, d = 0;
            if (!ParseAddress(address, a) || !ParseAddress(mask, m)) return ConfigureFailed;
            ParseAddress(broadcast, b);
            ParseAddress(gateway, g);
            ParseAddress(dnsServer, d);
            net::eth0_set_record(net::MakeBootpRecord(a, m, b, g, d));
        } else {
            addressMode.store(AddressDhcp);
            if (!ObtainLease(mac, host) && !UseLinkLocal(mac)) return ConfigureFailed;
        }
    }
    if (!net::eth0_configure_from_record()) {
        if (addressMode.load() != AddressDhcp) return ConfigureFailed;
        // A lease eth0 cannot take (a router off its subnet, say): link-local instead.
        Logger().Printf("DHCP: eth0 cannot take the lease; the DHCP client gives up\n");
        net::eth0_halt();
        if (!net::eth0_bring_up() || !UseLinkLocal(mac) || !net::eth0_configure_from_record())
            return ConfigureFailed;
    }
    if (addressMode.load() == AddressDhcp) KorvexStartDhcpLeaseThread(mac, host);
    net::loopback_up();
    return ConfigureOk;
}

void KorvexStartDhcpLeaseThread(const std::uint8_t mac[6], const char* host)
{
    CRecursiveLock config(NetworkConfigurationMutex());
    LeaseData& lease = Lease();
    std::memcpy(lease.mac, mac, sizeof lease.mac);
    lease.hasHost = host != nullptr;
    lease.host = host != nullptr ? host : "";
    static CLeaseThread* thread = nullptr;
    if (thread == nullptr) {
        thread = new CLeaseThread;
        thread->Start();
    }
}

void KorvexGetAddressStrings(char address[16], char mask[16], char broadcast[16], char gateway[16],
                             char dnsServer[16], char domain[256])
{
    const net::BootpRecord record = net::eth0_record();
    const std::uint32_t m = net::RecordMask(record);
    Dotted(record.yiaddr, address);
    Dotted(m, mask);
    Dotted(record.yiaddr | ~m, broadcast);
    Dotted(net::RecordGateway(record), gateway);
    Dotted(net::RecordDnsServer(record), dnsServer);
    std::snprintf(domain, 256, "%s", DefaultDomain);
    net::DhcpOption option{};
    if (net::FindDhcpOption(record.options, sizeof record.options, net::OptDomainName, option)) {
        std::size_t length = 0;
        while (length < option.length && option.data[length] != 0) ++length;
        std::memcpy(domain, option.data, length);
        domain[length] = '\0';
    }
}

void KorvexPublishAddresses()
{
    char address[16], mask[16], broadcast[16], gateway[16], dns[16], domain[256];
    KorvexGetAddressStrings(address, mask, broadcast, gateway, dns, domain);
    CParameterNode::SetStringAttribute(g_pEthernetIpAddress, eAttrValue, address);
    CParameterNode::SetStringAttribute(g_pEthernetNetMask, eAttrValue, mask);
    CParameterNode::SetStringAttribute(g_pEthernetBroadcast, eAttrValue, broadcast);
    CParameterNode::SetStringAttribute(g_pEthernetGateway, eAttrValue, gateway);
    CParameterNode::SetStringAttribute(g_pEthernetDnsServer, eAttrValue, dns);
    CParameterNode::SetStringAttribute(g_pEthernetDomain, eAttrValue, domain);
}

void KorvexNetworkRun()
{
    CRecursiveLock config(NetworkConfigurationMutex());
    if (latched.load()) return;
    reconfigurePending.store(false);
    SetEthernetActive(false);
    StopLinkLocalMonitor();
    net::eth0_halt();
    addressMode.store(AddressNone);
    if (!ReadBool(g_pEthernetEnabled)) {
        Logger().Printf("Korvex network thread: Ethernet down\n");
        return;
    }
    std::uint8_t mac[6] = {};
    int result = ConfigureMacFailed;
    const std::string esa = ReadString(g_pSystemEsa);
    const std::string id = ReadString(g_pEthernetId);
    const char* host = id.empty() ? nullptr : id.c_str();
    if (!KorvexParseEsa(esa, mac)) {
        Logger().Printf("Korvex network thread: bad MAC address \"%s\"\n", esa.c_str());
    } else if (ReadBool(g_pEthernetAutoAddress)) {
        result = KorvexConfigureInterface(mac, host, nullptr, nullptr, nullptr, nullptr, nullptr);
        if (result == ConfigureOk) KorvexPublishAddresses();
    } else {
        const std::string address = ReadString(g_pEthernetIpAddress);
        const std::string mask = ReadString(g_pEthernetNetMask);
        const std::string broadcast = ReadString(g_pEthernetBroadcast);
        const std::string gateway = ReadString(g_pEthernetGateway);
        const std::string dns = ReadString(g_pEthernetDnsServer);
        result = KorvexConfigureInterface(mac, host, address.c_str(), mask.c_str(), broadcast.c_str(),
                                          gateway.c_str(), dns.c_str());
    }
    if (result == ConfigureOk) {
        char address[16], mask[16], broadcast[16], gateway[16], dns[16], domain[256];
        KorvexGetAddressStrings(address, mask, broadcast, gateway, dns, domain);
        Logger().Printf("Korvex network thread: Ethernet up, %s mask %s (mode %u)\n", address, mask,
                        static_cast<unsigned>(addressMode.load()));
    } else {
        Logger().Printf("Korvex network thread: eth0 not configured (%d)\n", result);
    }
    SetEthernetActive(result == ConfigureOk);
}

void KorvexLatchNetwork()
{
    CRecursiveLock comm(CommunicationMutex());
    latched.store(true);
}

bool KorvexNetworkLatched() { return latched.load(); }

void KorvexUnlatchNetwork() { latched.store(false); }

}  // namespace Korvex
