// Every process of this test program runs in a network namespace of its own (made before
// main, while the process has one thread), so that the server may take port 111 and the
// tests never reach the host's portmapper.
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "Vxi11ServerSupport.h"

namespace {

bool WriteFile(const char* path, const char* text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool written = write(fd, text, std::strlen(text)) == static_cast<ssize_t>(std::strlen(text));
    close(fd);
    return written;
}

bool EnterOwnNetwork() {
    if (getuid() == 0) {
        if (unshare(CLONE_NEWNET) != 0) {
            return false;
        }
    } else {
        char map[64];
        const unsigned uid = getuid();
        const unsigned gid = getgid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            return false;
        }
        std::snprintf(map, sizeof(map), "0 %u 1\n", uid);
        WriteFile("/proc/self/setgroups", "deny");
        if (!WriteFile("/proc/self/uid_map", map)) {
            return false;
        }
        std::snprintf(map, sizeof(map), "0 %u 1\n", gid);
        WriteFile("/proc/self/gid_map", map);
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return up;
}

const bool g_ownNetwork = EnterOwnNetwork();

}  // namespace

bool OwnNetworkNamespace() { return g_ownNetwork; }
