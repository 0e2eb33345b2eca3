#include "NetworkOptions.h"

#include <net/if.h>
#include <sys/stat.h>

#include <cstdio>

namespace korvex_sim {

bool ParseMac(const char* text, std::uint8_t mac[6])
{
    unsigned fields[6];
    int consumed = 0;
    if (std::sscanf(text, "%2x:%2x:%2x:%2x:%2x:%2x%n", &fields[0], &fields[1], &fields[2], &fields[3], &fields[4],
                    &fields[5], &consumed) != 6 ||
        text[consumed] != '\0')
        return false;
    for (int i = 0; i < 6; ++i) mac[i] = static_cast<std::uint8_t>(fields[i]);
    return true;
}

std::string CheckNetworkInterface(const std::string& name)
{
    // PID 1's namespace; where PID 1 is out of sight, the kernel's initial namespace, whose
    // inode number is fixed.
    constexpr ino_t InitialNetworkNamespace = 0xEFFFFFF9u;
    struct stat own{};
    struct stat init{};
    if (::stat("/proc/self/ns/net", &own) != 0) return "cannot tell the network namespace";
    const bool initKnown = ::stat("/proc/1/ns/net", &init) == 0;
    if (initKnown ? own.st_ino == init.st_ino && own.st_dev == init.st_dev : own.st_ino == InitialNetworkNamespace)
        return "--netif is refused in the machine's own network namespace (run it in another, "
               "e.g. with ip netns exec)";
    if (if_nametoindex(name.c_str()) == 0)
        return "--netif " + name + ": no such interface in this network namespace; create it here (ip link add " +
               name + " ...) or move it into this namespace (ip link set " + name + " netns NAMESPACE)";
    return "";
}

}  // namespace korvex_sim
