// A power cut at any instant of a settings save leaves the old file or the new one.
//   settings_kill_loop STATE [ITERATIONS [SEED]]
// Each iteration starts a saver child (this program with --saver) that boots the settings
// from STATE and then saves LastPowerOff.xml in a loop, each save with the next number k in
// comm_parms/ethernet/id; SIGKILL ends it 0-3 ms after it is ready. The file must then be
// there and byte-identical to the complete save of some k at least the one seen before.
// The first save (not killed) is the template of every save; its well-formedness is for
// xmllint to judge (its host path is printed last). A failing run prints its seed.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/FileServices.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/SettingsClasses.h"
#include "Host/parameters/StartupSettings.h"
#include "platform/fs/FileSystem.h"
#include "sim/eeprom/EepromSim.h"

using namespace Korvex;

namespace {

std::string IdOf(unsigned long k) {
    char text[32];
    std::snprintf(text, sizeof text, "kill-%08lu", k);
    return text;
}

// The child: boots the settings, reports ready on stdout, then saves forever.
int Saver(const char* state, unsigned long first) {
    platform::fs::init(state, KORVEX_ROMFS_DIR);
    sim::eeprom::restore_default();
    if (KorvexMountFileSystems() != 0 || KorvexLoadStartupSettings() != 0) return 1;
    if (::write(STDOUT_FILENO, "r", 1) != 1) return 1;
    for (unsigned long k = first;; ++k) {
        CParameterNode::SetStringAttribute(g_pEthernetId, eAttrValue, IdOf(k));
        if (KorvexSaveLastPowerOffSettings(LastPowerOffSettingsPath) != 0) return 1;
        if (first == 0) return 0;  // one save only: the template
    }
}

bool ReadFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    out = text.str();
    return true;
}

// Runs a saver from first; kills it delayUs after it is ready (never when first is 0). On a
// failure, why says how the saver ended.
bool RunSaver(const char* self, const char* state, unsigned long first, long delayUs, std::string* why = nullptr) {
    int ready[2];
    if (::pipe(ready) != 0) return false;
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        ::dup2(ready[1], STDOUT_FILENO);
        ::close(ready[0]);
        ::close(ready[1]);
        const std::string from = std::to_string(first);
        ::execl(self, self, "--saver", state, from.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(ready[1]);
    char byte = 0;
    ssize_t n;
    do n = ::read(ready[0], &byte, 1);
    while (n < 0 && errno == EINTR);
    ::close(ready[0]);
    if (n == 1 && first != 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
        ::kill(child, SIGKILL);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    if (why != nullptr) {
        *why = std::string(n == 1 ? "ready" : "not ready") + ", " +
               (WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                    : "exit " + std::to_string(WEXITSTATUS(status)));
    }
    if (n != 1) return false;
    return first != 0 ? WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0)
                      : WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--saver") == 0)
        return Saver(argv[2], std::strtoul(argv[3], nullptr, 10));
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: %s STATE [ITERATIONS [SEED]]\n", argv[0]);
        return 2;
    }
    const char* state = argv[1];
    const unsigned iterations = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 500;
    const unsigned seed = argc > 3 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10))
                                   : std::random_device()();
    const std::string file = std::string(state) + "/yaffs/settings/LastPowerOff.xml";
    char resolved[4096];
    const ssize_t length = ::readlink("/proc/self/exe", resolved, sizeof resolved - 1);
    if (length <= 0) return 1;
    resolved[length] = '\0';

    if (std::system((std::string("rm -rf '") + state + "'").c_str()) != 0) return 1;
    std::string tmpl;
    if (!RunSaver(resolved, state, 0, 0) || !ReadFile(file, tmpl)) {
        std::fprintf(stderr, "the template save failed\n");
        return 1;
    }
    const std::string marker = IdOf(0);
    const std::size_t at = tmpl.find(marker);
    if (at == std::string::npos || tmpl.find(marker, at + 1) != std::string::npos) {
        std::fprintf(stderr, "the template does not hold %s once\n", marker.c_str());
        return 1;
    }

    std::mt19937 random(seed);
    std::uniform_int_distribution<long> delay(0, 3000);
    unsigned long seen = 0;
    unsigned advanced = 0, missing = 0, malformed = 0, older = 0;
    for (unsigned i = 0; i < iterations; ++i) {
        std::string why;
        if (!RunSaver(resolved, state, seen + 1, delay(random), &why)) {
            std::fprintf(stderr, "iteration %u: the saver failed (seed %u; %s)\n", i, seed, why.c_str());
            return 1;
        }
        std::string text;
        if (!ReadFile(file, text)) {
            ++missing;
            continue;
        }
        unsigned long k = 0;
        if (text.size() != tmpl.size() || text.compare(0, at, tmpl, 0, at) != 0 ||
            std::sscanf(text.c_str() + at, "kill-%08lu", &k) != 1 ||
            text.compare(at + marker.size(), std::string::npos, tmpl, at + marker.size(),
                         std::string::npos) != 0 ||
            text.compare(at, marker.size(), IdOf(k)) != 0) {
            ++malformed;
            continue;
        }
        if (k < seen) ++older;
        if (k > seen) ++advanced;
        seen = k;
    }
    std::printf("%u kills (seed %u): %u missing, %u malformed, %u older than before, %u with new saves, "
                "last save %lu\n",
                iterations, seed, missing, malformed, older, advanced, seen);
    std::printf("%s\n", file.c_str());
    return missing == 0 && malformed == 0 && older == 0 ? 0 : 1;
}
