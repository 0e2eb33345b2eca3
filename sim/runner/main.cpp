// korvex-sim [options]; korvex-sim --help lists them (OptionTable below) with the boot
// conditions, signals and exit codes.
//
// Runs the firmware on the simulated board in this process. The state folder (default
// ./state) keeps the flash file system (yaffs/), the identity EEPROM (eeprom.bin, written
// from the board's default record when absent), the log (korvex.log, also copied to
// standard error, with --quiet only the runner's own lines and the problem reports; see
// LogSink.h), the board's control socket (board.sock) and the simulated USB host's
// socket (usb.sock unless --usb-socket names another). Every network socket binds to
// ADDR (default 127.0.0.1, or 0.0.0.0 with --netif). SIGINT and SIGTERM ask for a power-off as
// a short push of the power button does (settings saved); a second one switches the board off
// at once.
//
// Without --netif the instrument's eth0 is a loopback stand-in that touches no interface.
// --netif NAME makes eth0 the Linux interface NAME of the runner's network namespace (refused,
// exit 2, in PID 1's namespace); --mac MAC replaces the EEPROM's MAC address for the run
// (eeprom.bin is not changed).
//
// The board starts before any static object of the instrument (the reset path): the system
// tick (--tick-us: real microseconds per 10-ms tick), the boot monitor (--no-bootmon: none;
// --boot-condition), the simulated devices wired to their pins and inputs, then the MMU,
// pins, interrupt controller and device table.
//
// The peripheral controller holds one proton probe on the socket unless --topology names a
// file of device descriptions. The simulated DSP keeps board time (it follows --tick-us) and
// measures --field tesla (default 1.5; a field given outside the range of every probe plugged
// in is refused, exit 2), each measurement taking --measurement-time ms of board time (default
// 20); --dsp-refuse-boot makes it refuse every program (the firmware then retries the DSP boot
// without end). It sees the NMR signal only while the NMR path sense reads "plugged".
//
// One firmware runs per state folder: the runner holds an exclusive flock on <state>/lock
// (with its pid in it) from before it touches the folder until the process ends. A USB socket
// that another live process serves is refused too (exit 1); an old socket file is replaced.
//
// The board's final actions end the process: power off (also on over-temperature) prints
// "board: switched off" and exits 0, firmware-update mode (and a fatal stop) prints "board:
// firmware-update mode" and exits 5, a reset prints "board: reset" and a watchdog reset
// "board: watchdog reset", and both start the same command line again with --boot-condition
// 2 (the same executable, by its resolved path, so the process keeps its name). A start-up
// failure exits 1, a bad option 2, each with one line that says why and what to do (in
// korvex.log too once the state folder is taken).
// Without a boot monitor, reset and firmware-update mode do nothing and the firmware stays
// stopped until a signal switches the board off (the first one does).
//
// The VXI-11 server's lines go to the log; once it has started, "Portmapper: ..." names the
// portmapper it uses. When it cannot start, the line says why (port 111 out of reach, the bind
// address missing on this host, or the core channel's program held by another process of this
// network namespace), what to do, and that USB still works.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Host/main/KorvexPower.h"
#include "Host/main/MainThread.h"
#include "Host/parameters/Logger.h"
#include "LogSink.h"
#include "FieldOption.h"
#include "NetworkOptions.h"
#include "SimBoard.h"
#include "board/board_init.h"
#include "engine/vxi11/Vxi11ServerBuilder.h"
#include "platform/bootmon/BootMonitor.h"
#include "platform/fs/FileSystem.h"
#include "platform/kernel/Kernel.h"
#include "platform/net/Eth0.h"
#include "platform/soc/BoardActions.h"
#include "sim/board/Board.h"
#include "sim/board/HangCommand.h"
#include "sim/common/UnixStreamServer.h"
#include "sim/eeprom/EepromSim.h"
#include "sim/peripheral_controller/PeripheralControllerSim.h"
#include "sim/topology_file/TopologyFile.h"
#include "sim/usb_host/UsbHostServer.h"
#include "usb/transport/UsbServerBuilder.h"

namespace {

struct Options {
    std::string state = "state";
    std::string bind;  // empty: 127.0.0.1, or 0.0.0.0 with --netif
    std::uint32_t bootCondition = 0;
    std::uint32_t tickUs = 10000;
    bool bootMonitor = true;
    std::string topology;  // empty: one probe on the socket
    sim::dsp::DspSimSettings dsp;
    bool fieldGiven = false;  // --field: checked against the probes plugged in
    bool dspRefusesBoot = false;
    std::string netif;
    std::string usbSocket;  // empty: <state>/usb.sock
    bool hasMac = false;
    std::uint8_t mac[6] = {};
    bool quiet = false;
    bool help = false;
};

// Built on first use: the options are parsed before the static objects are constructed.
Options& TheOptions()
{
    static Options* options = new Options;
    return *options;
}

// One row per option: its name, the value's name in the help (none: a switch), the default
// as the help shows it (none: no default worth naming), one line of help, and apply, which
// returns false when the value is not acceptable. A new option is one more row.
struct OptionRow {
    const char* name;
    const char* value;
    const char* defaultText;
    const char* help;
    bool (*apply)(Options& options, const char* value);
};

bool ParseCount(const char* text, std::uint32_t& out)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long n = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || *text == '-' || n > 0xFFFFFFFFul) return false;
    out = static_cast<std::uint32_t>(n);
    return true;
}

bool ParseReal(const char* text, double& out)
{
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(v)) return false;
    out = v;
    return true;
}

constexpr OptionRow OptionTable[] = {
    {"--state", "DIR", "./state",
     "state folder: flash files (yaffs/), EEPROM, korvex.log, board.sock, lock",
     [](Options& o, const char* v) { o.state = v; return *v != '\0'; }},
    {"--bind", "ADDR", "127.0.0.1, 0.0.0.0 with --netif", "IPv4 address every network socket binds to",
     [](Options& o, const char* v) {
         in_addr a{};
         o.bind = v;
         return inet_pton(AF_INET, v, &a) == 1;
     }},
    {"--boot-condition", "N", "0", "boot condition the boot monitor reports (values below)",
     [](Options& o, const char* v) { return ParseCount(v, o.bootCondition); }},
    {"--tick-us", "N", "10000", "real microseconds per 10-ms board tick",
     [](Options& o, const char* v) { return ParseCount(v, o.tickUs) && o.tickUs > 0; }},
    {"--no-bootmon", nullptr, nullptr, "no boot monitor on the board",
     [](Options& o, const char*) {
         o.bootMonitor = false;
         return true;
     }},
    {"--topology", "FILE", "one proton probe, 21.29-127.73 MHz",
     "what is plugged into the probe socket, one device a line",
     [](Options& o, const char* v) { o.topology = v; return *v != '\0'; }},
    {"--field", "TESLA", "1.5", "field the simulated DSP measures, within the probes' range",
     [](Options& o, const char* v) { return o.fieldGiven = ParseReal(v, o.dsp.field_t); }},
    {"--measurement-time", "MS", "20", "how long one simulated measurement takes (board time)",
     [](Options& o, const char* v) {
         std::uint32_t ms = 0;
         if (!ParseCount(v, ms)) return false;
         o.dsp.measurement_time = std::chrono::milliseconds(ms);
         return true;
     }},
    {"--dsp-refuse-boot", nullptr, nullptr,
     "the simulated DSP refuses every program; the firmware then keeps retrying the DSP boot,\n"
     "                         and VXI-11 and the USB device do not come up",
     [](Options& o, const char*) {
         o.dspRefusesBoot = true;
         return true;
     }},
    {"--netif", "NAME", nullptr,
     "eth0 is the Linux interface NAME of this network namespace (sockets bind 0.0.0.0)",
     [](Options& o, const char* v) {
         o.netif = v;
         return *v != '\0';
     }},
    {"--mac", "MAC", "the EEPROM's", "MAC address of eth0 for this run (eeprom.bin unchanged)",
     [](Options& o, const char* v) { return o.hasMac = korvex_sim::ParseMac(v, o.mac); }},
    {"--usb-socket", "PATH", "<state>/usb.sock", "Unix socket of the simulated USB host (tests/clients/usbsim)",
     [](Options& o, const char* v) { o.usbSocket = v; return *v != '\0'; }},
    {"--quiet", nullptr, nullptr,
     "standard error gets only warnings, errors and the runner's own lines (korvex.log gets all)",
     [](Options& o, const char*) {
         o.quiet = true;
         return true;
     }},
    {"--help", nullptr, nullptr, "print this help and exit (also -h)",
     [](Options& o, const char*) {
         o.help = true;
         return true;
     }},
};

// The tables the help prints below the options.
struct HelpRow {
    const char* key;
    const char* text;
};

constexpr HelpRow BootConditionTable[] = {
    {"0", "cold boot"},
    {"2", "warm boot (what a reset restarts with)"},
    {"3", "warm boot on factory settings (the last power-off settings are deleted)"},
    {"5", "warm boot with ignored hard reset"},
    {"other", "logged as \"Unknown\""},
};

constexpr HelpRow SignalTable[] = {
    {"SIGINT", "switches the instrument off as the power button does (settings saved; a firmware\n"
               "           stopped by a reset without boot monitor is switched off at once)"},
    {"SIGTERM", "the same as SIGINT; a second SIGINT or SIGTERM switches the board off at once"},
};

constexpr HelpRow ExitCodeTable[] = {
    {"0", "switched off (power button, over-temperature, SYST:POFF, SIGINT, SIGTERM), or --help"},
    {"1", "the state folder or the USB socket is in use by another process, or cannot be set up"},
    {"2", "bad command line or topology file, or --netif in the machine's own network namespace"},
    {"5", "firmware-update mode (DIAG:UPGR or a fatal stop)"},
};

void PrintRows(std::FILE* out, const char* title, const HelpRow* rows, std::size_t count)
{
    std::fprintf(out, "\n%s:\n", title);
    for (std::size_t i = 0; i < count; ++i) std::fprintf(out, "  %-8s %s\n", rows[i].key, rows[i].text);
}

void Usage(std::FILE* out, const char* program)
{
    std::fprintf(out, "usage: %s [options]\n", program);
    std::fprintf(out, "Runs the Korvex teslameter firmware on a simulated board in this process.\n\n");
    std::fprintf(out, "Options (--name VALUE or --name=VALUE):\n");
    for (const OptionRow& row : OptionTable) {
        const std::string option = row.value ? std::string(row.name) + " " + row.value : row.name;
        std::fprintf(out, "  %-22s %s", option.c_str(), row.help);
        if (row.defaultText != nullptr) std::fprintf(out, " (default: %s)", row.defaultText);
        std::fprintf(out, "\n");
    }
    PrintRows(out, "Boot conditions (--boot-condition)", BootConditionTable, std::size(BootConditionTable));
    PrintRows(out, "Signals", SignalTable, std::size(SignalTable));
    PrintRows(out, "Exit codes", ExitCodeTable, std::size(ExitCodeTable));
    std::fprintf(out, "\nA reset (*RST, a settings file that needs a restart) or a watchdog reset starts the\n"
                      "same command line again with --boot-condition 2 in the same process.\n");
}

// Accepts "--name value" and "--name=value"; a switch stands alone. A wrong option is told
// in one line on standard error.
bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = std::string(argv[i]) == "-h" ? "--help" : argv[i];
        const OptionRow* found = nullptr;
        const char* value = nullptr;
        for (const OptionRow& row : OptionTable) {
            const std::string name = row.name;
            if (arg == name && row.value == nullptr) {
                value = "";
            } else if (arg == name) {
                if (i + 1 >= argc) {
                    std::fprintf(stderr, "korvex-sim: %s needs a value (%s %s); see --help\n", row.name, row.name,
                                 row.value);
                    return false;
                }
                value = argv[++i];
            } else if (row.value != nullptr && arg.compare(0, name.size() + 1, name + "=") == 0) {
                value = argv[i] + name.size() + 1;
            } else {
                continue;
            }
            found = &row;
            break;
        }
        if (found == nullptr) {
            std::fprintf(stderr, "korvex-sim: unknown option %s; see --help\n", argv[i]);
            return false;
        }
        if (!found->apply(options, value)) {
            std::fprintf(stderr, "korvex-sim: bad value '%s' for %s %s; see --help\n", value, found->name,
                         found->value);
            return false;
        }
    }
    return true;
}

// ---- log copies ----

// Through the runner's buffered log sink (korvex.log and standard error).
void EchoLog(const char* text, std::size_t length) { korvex_sim::RunnerLog().Write(text, length); }

void Say(const std::string& line) { korvex_sim::RunnerLog().Line(line); }

// A start-up failure once the log is open: its line (cause and remedy) to korvex.log and
// standard error, then the exit. Not through exit(): the boot monitor's exit handler would
// ask for firmware-update mode.
[[noreturn]] void FailStart(const std::string& line, int code)
{
    Say("korvex-sim: " + line);
    korvex_sim::RunnerLog().Flush();
    std::fflush(nullptr);
    ::_exit(code);
}

// The process that listens on TCP port of this network namespace: its pid and name (comm),
// found through the socket's inode in /proc/net/tcp and the processes' descriptors; pid 0
// when none is found (or the owner's descriptors cannot be read).
struct PortOwner {
    long pid = 0;
    std::string name;
};

PortOwner ListenerOf(unsigned port)
{
    PortOwner owner;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::string inode;
    std::getline(table, line);  // the heading
    while (inode.empty() && std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, node;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> node))
            continue;
        const std::size_t colon = local.find(':');
        if (state == "0A" && colon != std::string::npos &&
            std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port)
            inode = node;
    }
    if (inode.empty() || inode == "0") return owner;
    const std::string target = "socket:[" + inode + "]";
    std::error_code ec;
    for (const auto& process : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string pid = process.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code fdError;
        for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", fdError)) {
            std::error_code linkError;
            if (std::filesystem::read_symlink(fd.path(), linkError).string() != target) continue;
            owner.pid = std::strtol(pid.c_str(), nullptr, 10);
            std::ifstream comm(process.path() / "comm");
            std::getline(comm, owner.name);
            return owner;
        }
    }
    return owner;
}

std::string Describe(const PortOwner& owner)
{
    return "process " + std::to_string(owner.pid) + " (" + owner.name + ")";
}

// The process that serves the Unix socket at path (the one that listens on it, by the
// connection's peer credentials); pid 0 when nobody does (no file, or an old one left behind).
PortOwner ServerOf(const std::string& path)
{
    PortOwner owner;
    sockaddr_un address{};
    const int fd = sim::UnixStreamServer::Socket(path, &address);
    if (fd < 0) return owner;
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0) {
        owner.pid = peer.pid;
        std::ifstream comm("/proc/" + std::to_string(peer.pid) + "/comm");
        std::getline(comm, owner.name);
    }
    ::close(fd);
    return owner;
}

std::string usbSocketPath;  // for the messages that say what still works

// "Portmapper: ..." for the portmapper the VXI-11 server uses: the firmware's own, or the one
// that answers on port 111 (another korvex-sim's, or the system's).
std::string PortmapperBanner(bool own)
{
    const std::string where = TheOptions().bind + ":111";
    if (own) return "Portmapper: the firmware's own on " + where;
    const PortOwner owner = ListenerOf(111);
    if (owner.pid != 0 && owner.name == "korvex-sim")
        return "Portmapper: another korvex-sim's on " + where + ", process " + std::to_string(owner.pid);
    if (owner.pid != 0) return "Portmapper: the system's on " + where + " (" + Describe(owner) + ")";
    return "Portmapper: the system's on " + where;
}

// Says the banner unless the last one said is the same (the server starts again at each
// network change). Called from the VXI-11 server's starts, which the engine serialises.
void SayPortmapper(bool own)
{
    static std::string said;
    const std::string banner = PortmapperBanner(own);
    if (banner == said) return;
    said = banner;
    Say(banner);
}

// The remedy when another process of this network namespace holds what the firmware needs.
const std::string OwnNamespace = "stop it or start this one in a network namespace of its own (unshare -n)";

// What to do when a firmware socket cannot bind to a port of --bind's address (the NetBIOS
// service's failure line, the VXI-11 server's).
std::string BindAdvice(int error, unsigned port)
{
    switch (error) {
        case EADDRNOTAVAIL:
            return "no interface of this host has " + TheOptions().bind +
                   "; give --bind an address this host has (ip -4 addr) or leave --bind out";
        case EACCES:
            return "run as root (or with CAP_NET_BIND_SERVICE), or sysctl net.ipv4.ip_unprivileged_port_start=" +
                   std::to_string(port);
        case EADDRINUSE:
            return "another process of this network namespace holds the port; " + OwnNamespace;
        default: return "";
    }
}

// A VXI-11 server that has started: which portmapper it uses is known to work only now.
void Vxi11Started(std::uint16_t, bool ownPortmapper) { SayPortmapper(ownPortmapper); }

// The VXI-11 server's lines, into the runner's log. A failed start says why and what to do
// about it, in the same line (and names the portmapper when that answered that another
// server holds the core channel's program).
void Vxi11Line(const char* text)
{
    std::string line = text;
    static const std::string failed = "VXI-11 server start failed: ";
    if (line.compare(0, failed.size(), failed) == 0) {
        const std::string cause = line.substr(failed.size());
        static const std::string served = "395183 already registered, and served on port ";
        static const std::string cannotListen = "cannot listen for the core channel: ";
        const std::string stillWorks = "; USB still works (" + usbSocketPath + ")";
        const std::string ownNamespace = ": " + OwnNamespace;
        if (cause.compare(0, cannotListen.size(), cannotListen) == 0 &&
            cause.compare(cannotListen.size(), std::string::npos, std::strerror(EADDRNOTAVAIL)) == 0) {
            line += ": " + BindAdvice(EADDRNOTAVAIL, 0) + stillWorks;
        } else if (cause.compare(0, 20, "port 111 unavailable") == 0) {
            const PortOwner owner = ListenerOf(111);
            line += owner.pid != 0 ? " (held by " + Describe(owner) + ")" + ownNamespace
                                   : " (not root, no rpcbind): run as root, start rpcbind, or "
                                     "sysctl net.ipv4.ip_unprivileged_port_start=111";
            line += stillWorks;
        } else if (cause == "portmapper gave no usable answer") {
            // Something that is no portmapper listens on port 111.
            const PortOwner owner = ListenerOf(111);
            line += " (port 111 held by " +
                    (owner.pid != 0 ? Describe(owner) : std::string("a process not found in /proc; ss -ltnp names it"))
                    + ")" + ownNamespace + stillWorks;
        } else if (cause.compare(0, served.size(), served) == 0) {
            SayPortmapper(false);  // it answered
            const unsigned port = static_cast<unsigned>(std::strtoul(cause.c_str() + served.size(), nullptr, 10));
            const PortOwner owner = ListenerOf(port);
            line = "VXI-11 server start failed: the core channel's program 395183 is held by " +
                   (owner.pid != 0 ? Describe(owner) : std::string("a running server")) + " on port " +
                   std::to_string(port) +
                   ": another instrument serves VXI-11 in this network namespace; " + OwnNamespace + stillWorks;
        } else {
            line += stillWorks;
        }
    }
    static const std::string noDevice = "CVxi11Registry::CreateLink, no device ";
    if (line.compare(0, noDevice.size(), noDevice) == 0) line += "; this instrument serves inst0";
    Say(line);
}

// ---- board actions ----

std::vector<std::string> commandLine;
std::string executable = "/proc/self/exe";  // resolved at start, see ResolveExecutable
int stateLock = -1;                         // kept open across a restart

// The running executable's own path, so that a restart keeps the process name (execv of
// "/proc/self/exe" itself would name the process "exe").
void ResolveExecutable()
{
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return;
    path[n] = '\0';
    if (::access(path, X_OK) == 0) executable = path;
}

// The same command line with --boot-condition 2, in a fresh process image.
[[noreturn]] void Restart()
{
    std::vector<std::string> args;
    for (std::size_t i = 0; i < commandLine.size(); ++i) {
        const std::string& arg = commandLine[i];
        if (arg == "--boot-condition") {
            ++i;
            continue;
        }
        if (arg.compare(0, 17, "--boot-condition=") == 0) continue;
        args.push_back(arg);
    }
    args.push_back("--boot-condition");
    args.push_back("2");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    // Everything logged so far reaches korvex.log before its descriptor is closed.
    korvex_sim::RunnerLog().Flush();
    // Nothing of this image may stay open in the next (sockets would keep their ports)
    // but the state folder's lock, which the next image finds held by its own pid.
    const auto closeRange = [](unsigned first, unsigned last) {
        if (first > last) return;
        if (syscall(SYS_close_range, first, last, 0u) != 0)
            for (unsigned fd = first; fd <= last && fd < 1024; ++fd) ::close(static_cast<int>(fd));
    };
    if (stateLock >= 3) {
        closeRange(3, static_cast<unsigned>(stateLock) - 1);
        closeRange(static_cast<unsigned>(stateLock) + 1, ~0u);
    } else {
        closeRange(3, ~0u);
    }
    ::execv(executable.c_str(), argv.data());
    std::perror("korvex-sim: restart");
    ::_exit(1);
}

// The control socket and the USB host's socket, once they serve; closed (their connections
// ended and joined) before the process ends.
std::atomic<sim::Board*> controlPanel{nullptr};
std::atomic<sim::UsbHostServer*> usbHostServer{nullptr};

void CloseControlPanel()
{
    if (sim::Board* panel = controlPanel.load()) panel->Close();
    if (sim::UsbHostServer* usbHost = usbHostServer.load()) usbHost->Close();
}

void BoardAction(platform::soc::BoardAction action)
{
    using platform::soc::BoardAction;
    std::fflush(nullptr);
    switch (action) {
        case BoardAction::PowerOff:
            Say("board: switched off");
            CloseControlPanel();
            korvex_sim::RunnerLog().Flush();
            ::_exit(0);
        case BoardAction::Reset:
            Say("board: reset");
            Restart();
        case BoardAction::WatchdogReset:
            Say("board: watchdog reset");
            Restart();
        case BoardAction::FirmwareUpdateMode:
            Say("board: firmware-update mode");
            CloseControlPanel();
            korvex_sim::RunnerLog().Flush();
            ::_exit(5);
    }
}

// ---- set-up ----

// The identity EEPROM from <state>/eeprom.bin, or that file from the board's default record.
bool LoadEeprom(const std::string& state)
{
    if (sim::eeprom::load_state(state)) return true;
    const std::array<std::uint8_t, sim::eeprom::Size> image = sim::BoardEeprom().Bytes();
    std::ofstream out(state + "/eeprom.bin", std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    return static_cast<bool>(out);
}

// Takes the state folder for this process: an exclusive flock on <state>/lock, which holds
// the owner's pid. The lock ends with the process, however it ends. After a restart the
// lock is still held by this process (same pid, the descriptor kept open).
bool LockStateFolder(const std::string& state)
{
    const std::string path = state + "/lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);  // not O_CLOEXEC: see Restart
    if (fd < 0) {
        const int error = errno;
        // Denied: typically a state folder a root run made, now started by another user.
        if (error == EACCES || error == EPERM)
            std::fprintf(stderr,
                         "korvex-sim: cannot open %s: %s; start as the user that owns %s, or give --state a "
                         "folder of your own\n",
                         path.c_str(), std::strerror(error), state.c_str());
        else
            std::fprintf(stderr, "korvex-sim: cannot open %s: %s\n", path.c_str(), std::strerror(error));
        return false;
    }
    char text[32] = {};
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
        const long owner = n > 0 ? std::strtol(text, nullptr, 10) : 0;
        ::close(fd);
        if (error == EWOULDBLOCK && owner == static_cast<long>(::getpid())) return true;
        if (error == EWOULDBLOCK)
            std::fprintf(stderr,
                         "korvex-sim: state folder %s is in use by process %ld; stop process %ld or give another "
                         "--state\n",
                         state.c_str(), owner, owner);
        else
            std::fprintf(stderr, "korvex-sim: cannot lock %s: %s\n", path.c_str(), std::strerror(error));
        return false;
    }
    const int length = std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(::getpid()));
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, text, static_cast<std::size_t>(length), 0) != length) {
        std::fprintf(stderr, "korvex-sim: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        ::close(fd);
        return false;
    }
    stateLock = fd;
    return true;
}

// SIGINT and SIGTERM are blocked before any code of the program runs, before the static
// constructors and the board's reset path (every thread inherits the mask, and so does the
// next image of a restart): one that comes before its handler is in place waits for it instead
// of ending the process. Only the signal thread unblocks them, once the handler is installed;
// the handler only writes to a pipe, and that thread reads it and asks for a power-off.
void BlockStopSignals(int, char**, char**)
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    // The system call itself: this may run before a sanitizer's run-time is set up.
    ::syscall(SYS_rt_sigprocmask, SIG_BLOCK, &stop, nullptr, _NSIG / 8);
}
__attribute__((section(".preinit_array"), used)) void (*blockStopSignals)(int, char**, char**) =
    &BlockStopSignals;

int signalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    if (::write(signalPipe[1], &byte, 1) < 0) {
    }
    errno = saved;
}

bool StartSignalThread()
{
    if (::pipe2(signalPipe, O_CLOEXEC) != 0) return false;
    struct sigaction action {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    std::thread([] {
        using Korvex::CKorvexPower;
        sigset_t stop;
        sigemptyset(&stop);
        sigaddset(&stop, SIGINT);
        sigaddset(&stop, SIGTERM);
        // A signal that came before now is taken here.
        ::pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
        char byte = 0;
        unsigned signals = 0;
        for (;;) {
            // While a power-off is asked, it is watched for a firmware that stopped without
            // one (a reset or update mode without boot monitor): nothing would take it.
            pollfd wait{signalPipe[0], POLLIN, 0};
            const int ready = ::poll(&wait, 1, signals > 0 ? 100 : -1);
            if (ready < 0 && errno != EINTR) return;
            if (ready <= 0) {
                if (signals > 0 && CKorvexPower::Halted())
                    platform::soc::board_action(platform::soc::BoardAction::PowerOff);
                continue;
            }
            const ssize_t n = ::read(signalPipe[0], &byte, 1);
            if (n < 0 && errno != EINTR) return;
            if (n != 1) continue;
            // The first asks the firmware for a power-off with the settings saved; a second,
            // or one that finds the firmware stopped (its settings are on flash already),
            // switches the board off.
            if (++signals == 1 && !CKorvexPower::Halted())
                CKorvexPower::RequestShutdown(CKorvexPower::eSwitchOff);
            else
                platform::soc::board_action(platform::soc::BoardAction::PowerOff);
        }
    }).detach();
    return true;
}

// The board's reset path, before any static object of the instrument is built: glibc hands
// a constructor the program's arguments.
__attribute__((constructor(101))) void BoardStartUp(int argc, char** argv, char**)
{
    Options& options = TheOptions();
    if (!ParseOptions(argc, argv, options)) {
        std::fflush(nullptr);
        ::_exit(2);
    }
    if (options.help) {
        Usage(stdout, argv[0]);
        std::fflush(nullptr);
        ::_exit(0);
    }
    if (options.bind.empty()) options.bind = options.netif.empty() ? "127.0.0.1" : "0.0.0.0";
    if (!options.netif.empty()) {
        const std::string refusal = korvex_sim::CheckNetworkInterface(options.netif);
        if (!refusal.empty()) {
            std::fprintf(stderr, "korvex-sim: %s\n", refusal.c_str());
            std::fflush(nullptr);
            ::_exit(2);
        }
    }
    kernel::set_tick_ms(options.tickUs / 1000.0);
    if (!options.bootMonitor) platform::bootmon::place_entry(false);
    platform::bootmon::set_boot_condition(options.bootCondition);
    sim::Board::Connect();
    if (!board_start()) {
        std::fprintf(stderr, "korvex-sim: the board's device table could not be set up\n");
        std::abort();
    }
}

}  // namespace

int main(int argc, char** argv)
{
    Options& options = TheOptions();
    commandLine.assign(argv, argv + argc);
    ResolveExecutable();
    // The probe's NMR signal reaches the simulated receiver only over an intact path.
    options.dsp.signal_path_intact = &sim::periph::PeripheralControllerSim::NmrSignalPresent;

    sim::periph::RegisterPeripheralCommands();
    sim::RegisterHangCommand();

    ::signal(SIGPIPE, SIG_IGN);
    if (!StartSignalThread()) {
        std::perror("korvex-sim: signals");
        return 1;
    }

    std::error_code ec;
    if (!std::filesystem::create_directories(options.state, ec) && ec) {
        std::fprintf(stderr, "korvex-sim: cannot make the state folder %s: %s; pick another --state\n",
                     options.state.c_str(), ec.message().c_str());
        return 1;
    }
    std::string state = std::filesystem::absolute(options.state, ec).lexically_normal().string();
    if (state.size() > 1 && state.back() == '/') state.pop_back();
    if (!LockStateFolder(state)) return 1;
    const std::string logPath = state + "/korvex.log";
    if (!korvex_sim::RunnerLog().Open(logPath, STDERR_FILENO)) {
        std::fprintf(stderr, "korvex-sim: cannot open %s: %s\n", logPath.c_str(), std::strerror(errno));
        return 1;
    }
    korvex_sim::RunnerLog().SetQuiet(options.quiet);
    std::atexit([] { korvex_sim::RunnerLog().Flush(); });
    Korvex::SetLogEcho(&EchoLog);
    usbSocketPath = options.usbSocket.empty() ? state + "/usb.sock" : options.usbSocket;
    vxi11_set_log_sink(&Vxi11Line);
    vxi11_set_started_sink(&Vxi11Started);

    // What is plugged into the socket.
    if (!options.topology.empty()) {
        std::string error;
        if (!std::ifstream(options.topology))
            FailStart("cannot read the topology file " + options.topology + ": " + std::strerror(errno) +
                          "; check the path given to --topology",
                      2);
        if (!sim::periph::LoadTopologyFile(options.topology, error))
            FailStart("topology file " + error +
                          "; fix that line (<path> probe|camera|mux [key=value ...], one device a line)",
                      2);
    } else {
        sim::periph::BoardPeripheralController();
    }
    if (options.fieldGiven) {
        const std::string refusal = korvex_sim::CheckField(options.dsp.field_t, options.dsp.gyromagnetic_ratio,
                                                           sim::periph::BoardPeripheralController());
        if (!refusal.empty()) FailStart(refusal, 2);
    }

    Say("State folder: " + state);
    Say("Log: " + logPath);
    // Which portmapper serves is told once the VXI-11 server has started (Vxi11Started).
    Say("VXI-11 on " + options.bind + " (inst0)");

    if (!LoadEeprom(state))
        FailStart("cannot write " + state + "/eeprom.bin: " + std::strerror(errno) + "; check the state folder", 1);
    if (options.hasMac) sim::eeprom::set_bytes(116, options.mac, sizeof options.mac);
    platform::fs::init(state, KORVEX_ROMFS_DIR);
    platform::soc::set_board_action_sink(&BoardAction);

    static sim::Board panel;
    if (!panel.Listen(state))
        FailStart("cannot serve " + state + "/board.sock: " + std::strerror(errno) + "; check the state folder", 1);
    controlPanel.store(&panel);
    Say("Board control: " + panel.SocketPath());

    static sim::UsbHostServer usbHost;
    const std::string& usbSocket = usbSocketPath;
    const std::string usbFolder = std::filesystem::path(usbSocket).parent_path().string();
    if (!usbFolder.empty() && !std::filesystem::is_directory(usbFolder, ec))
        FailStart("cannot serve the USB host on " + usbSocket + ": the folder " + usbFolder +
                      " does not exist; make it or give --usb-socket a path in an existing folder",
                  1);
    // Another instrument's socket is not taken over (its clients would reach this one).
    const PortOwner usbOwner = ServerOf(usbSocket);
    if (usbOwner.pid != 0 && usbOwner.pid != static_cast<long>(::getpid()))
        FailStart("USB socket " + usbSocket + " is served by " + Describe(usbOwner) + "; stop process " +
                      std::to_string(usbOwner.pid) + " or give another --usb-socket",
                  1);
    if (!usbHost.Listen(usbSocket))
        FailStart("cannot serve the USB host on " + usbSocket + ": " + std::strerror(errno) +
                      "; give --usb-socket a path where a socket can be made",
                  1);
    usbHostServer.store(&usbHost);
    Say("USB host on " + usbSocket);

    vxi11_set_bind_address(options.bind.c_str());
    platform::net::set_bind_address(options.bind);
    platform::net::set_bind_advice(&BindAdvice);
    if (!options.netif.empty()) {
        platform::net::eth0_use_linux(options.netif);
        Say("eth0: " + options.netif);
    }
    vxi11_install_server_builder();
    usb_install_server_builder();

    // The DSP keeps the board's time: its measurements take --measurement-time ms of board time.
    static korvex_sim::SimBoard board(options.dsp, options.dspRefusesBoot,
                                      std::make_shared<sim::dsp::ScaledSimClock>(10000.0 / options.tickUs));

    static Korvex::CMainThread mainThread;
    mainThread.Run();
}
