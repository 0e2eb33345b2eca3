// korvex-sim [--state DIR] [--bind ADDR] [--boot-condition N] [--tick-us N] [--no-bootmon]
//            [--topology FILE] [--field TESLA] [--measurement-time MS] [--dsp-refuse-boot]
//
// Runs the firmware on the simulated board in this process. The state folder (default
// ./state) keeps the flash file system (yaffs/), the identity EEPROM (eeprom.bin, written
// from the board's default record when absent), the log (korvex.log, also copied to
// standard error) and the board's control socket (board.sock). Every network socket binds to
// ADDR (default 127.0.0.1). SIGINT and SIGTERM switch the instrument off as the power button
// does.
//
// The board starts before any static object of the instrument (the reset path): the system
// tick (--tick-us: real microseconds per 10-ms tick), the boot monitor (--no-bootmon: none;
// --boot-condition), the simulated devices wired to their pins and inputs, then the MMU,
// pins, interrupt controller and device table.
//
// The peripheral controller holds one proton probe on the socket unless --topology names a
// file of device descriptions. The simulated DSP measures --field tesla (default 1.5), each
// measurement taking --measurement-time ms (default 20); --dsp-refuse-boot makes it refuse
// every program.
//
// The board's final actions end the process: power off exits 0, firmware-update mode (and a
// fatal stop) prints "board: firmware-update mode" and exits 5, a reset prints "board: reset"
// and starts the same command line again with --boot-condition 2.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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
#include <string>
#include <thread>
#include <vector>

#include "Host/main/KorvexPower.h"
#include "Host/main/MainThread.h"
#include "Host/main/SystemSeams.h"
#include "Host/parameters/Logger.h"
#include "LogSink.h"
#include "SimBoard.h"
#include "board/board_init.h"
#include "engine/vxi11/Vxi11ServerBuilder.h"
#include "platform/bootmon/BootMonitor.h"
#include "platform/fs/FileSystem.h"
#include "platform/kernel/Kernel.h"
#include "platform/soc/BoardActions.h"
#include "sim/board/Board.h"
#include "sim/eeprom/EepromSim.h"
#include "sim/peripheral_controller/PeripheralControllerSim.h"
#include "sim/topology_file/TopologyFile.h"

namespace {

struct Options {
    std::string state = "state";
    std::string bind = "127.0.0.1";
    std::uint32_t bootCondition = 0;
    std::uint32_t tickUs = 10000;
    bool bootMonitor = true;
    std::string topology;  // empty: one probe on the socket
    sim::dsp::DspSimSettings dsp;
    bool dspRefusesBoot = false;
};

// Built on first use: the options are parsed before the static objects are constructed.
Options& TheOptions()
{
    static Options* options = new Options;
    return *options;
}

// One row per option; a row's apply returns false when the value is not acceptable. A row
// without a value name is a switch.
struct OptionRow {
    const char* name;
    const char* value;  // the value's name in the usage text
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
    {"--state", "DIR", [](Options& o, const char* v) { o.state = v; return *v != '\0'; }},
    {"--bind", "ADDR",
     [](Options& o, const char* v) {
         in_addr a{};
         o.bind = v;
         return inet_pton(AF_INET, v, &a) == 1;
     }},
    {"--boot-condition", "N", [](Options& o, const char* v) { return ParseCount(v, o.bootCondition); }},
    {"--tick-us", "N", [](Options& o, const char* v) { return ParseCount(v, o.tickUs) && o.tickUs > 0; }},
    {"--no-bootmon", nullptr,
     [](Options& o, const char*) {
         o.bootMonitor = false;
         return true;
     }},
    {"--topology", "FILE", [](Options& o, const char* v) { o.topology = v; return *v != '\0'; }},
    {"--field", "TESLA", [](Options& o, const char* v) { return ParseReal(v, o.dsp.field_t); }},
    {"--measurement-time", "MS",
     [](Options& o, const char* v) {
         std::uint32_t ms = 0;
         if (!ParseCount(v, ms)) return false;
         o.dsp.measurement_time = std::chrono::milliseconds(ms);
         return true;
     }},
    {"--dsp-refuse-boot", nullptr,
     [](Options& o, const char*) {
         o.dspRefusesBoot = true;
         return true;
     }},
};

void Usage(const char* program)
{
    std::fprintf(stderr, "usage: %s", program);
    for (const OptionRow& row : OptionTable) {
        if (row.value != nullptr) std::fprintf(stderr, " [%s %s]", row.name, row.value);
        else std::fprintf(stderr, " [%s]", row.name);
    }
    std::fprintf(stderr, "\n");
}

// Accepts "--name value" and "--name=value"; a switch stands alone.
bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const OptionRow* found = nullptr;
        const char* value = nullptr;
        for (const OptionRow& row : OptionTable) {
            const std::string name = row.name;
            if (arg == name && row.value == nullptr) {
                value = "";
            } else if (arg == name) {
                if (i + 1 >= argc) return false;
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
            std::fprintf(stderr, "korvex-sim: unknown option %s\n", argv[i]);
            return false;
        }
        if (!found->apply(options, value)) {
            std::fprintf(stderr, "korvex-sim: bad value for %s: %s\n", found->name, value);
            return false;
        }
    }
    return true;
}

// ---- log copies ----

// Through the runner's buffered log sink (korvex.log and standard error).
void EchoLog(const char* text, std::size_t length) { korvex_sim::RunnerLog().Write(text, length); }

void Say(const std::string& line) { korvex_sim::RunnerLog().Line(line); }

// ---- board actions ----

std::vector<std::string> commandLine;

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
    // Nothing of this image may stay open in the next: sockets would keep their ports.
    if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
        for (int fd = 3; fd < 1024; ++fd) ::close(fd);
    korvex_sim::RunnerLog().Flush();
    ::execv("/proc/self/exe", argv.data());
    Say(std::string("korvex-sim: restart: ") + std::strerror(errno));
    korvex_sim::RunnerLog().Flush();
    ::_exit(1);
}

// The control socket, once it serves; closed (its connections ended and joined) before the
// process ends.
std::atomic<sim::Board*> controlPanel{nullptr};

void CloseControlPanel()
{
    if (sim::Board* panel = controlPanel.load()) panel->Close();
}

void BoardAction(platform::soc::BoardAction action)
{
    using platform::soc::BoardAction;
    std::fflush(nullptr);
    switch (action) {
        case BoardAction::PowerOff:
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

// Whether a portmapper answers on port 111 of the address.
bool PortmapperAnswers(const std::string& address)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(111);
    inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    bool answers = ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    if (!answers && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        answers = ::poll(&p, 1, 500) == 1 &&
                  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    ::close(fd);
    return answers;
}

// SIGINT and SIGTERM: the handler only writes to a pipe (whichever thread takes the signal);
// one thread reads it and asks for a power-off.
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
        char byte = 0;
        for (;;) {
            const ssize_t n = ::read(signalPipe[0], &byte, 1);
            if (n == 1) Korvex::CKorvexPower::RequestShutdown(Korvex::CKorvexPower::eSwitchOff);
            else if (n < 0 && errno != EINTR) return;
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
        Usage(argv[0]);
        std::fflush(nullptr);
        ::_exit(2);
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
    const Options& options = TheOptions();
    commandLine.assign(argv, argv + argc);

    // What is plugged into the socket.
    if (!options.topology.empty()) {
        std::string error;
        if (!sim::periph::LoadTopologyFile(options.topology, error)) {
            std::fprintf(stderr, "korvex-sim: %s: %s\n", options.topology.c_str(), error.c_str());
            return 2;
        }
    } else {
        sim::periph::BoardPeripheralController();
    }
    sim::periph::RegisterPeripheralCommands();

    ::signal(SIGPIPE, SIG_IGN);
    if (!StartSignalThread()) {
        std::perror("korvex-sim: signals");
        return 1;
    }

    std::error_code ec;
    std::filesystem::create_directories(options.state, ec);
    const std::string state = std::filesystem::absolute(options.state, ec).lexically_normal().string();
    const std::string logPath = state + "/korvex.log";
    if (!korvex_sim::RunnerLog().Open(logPath, STDERR_FILENO)) {
        std::fprintf(stderr, "korvex-sim: cannot open %s: %s\n", logPath.c_str(), std::strerror(errno));
        return 1;
    }
    std::atexit([] { korvex_sim::RunnerLog().Flush(); });
    Korvex::SetLogEcho(&EchoLog);

    const bool systemPortmapper = PortmapperAnswers(options.bind);
    Say("State folder: " + state);
    Say("Log: " + logPath);
    Say("VXI-11 on " + options.bind + " (inst0)");
    Say(systemPortmapper ? "Portmapper: the system's on " + options.bind + ":111"
                         : "Portmapper: the firmware's own on " + options.bind + ":111");

    if (!LoadEeprom(state)) {
        Say("korvex-sim: cannot set up " + state + "/eeprom.bin");
        return 1;
    }
    platform::fs::init(state, KORVEX_ROMFS_DIR);
    platform::soc::set_board_action_sink(&BoardAction);

    static sim::Board panel;
    if (!panel.Listen(state)) {
        Say("korvex-sim: cannot serve " + state + "/board.sock");
        return 1;
    }
    controlPanel.store(&panel);
    Say("Board control: " + panel.SocketPath());

    vxi11_set_bind_address(options.bind.c_str());
    vxi11_install_server_builder();

    static korvex_sim::SimBoard board(options.dsp, options.dspRefusesBoot);
    Korvex::CSystemSeams::Install(&board);

    static Korvex::CMainThread mainThread;
    mainThread.Run();
}
