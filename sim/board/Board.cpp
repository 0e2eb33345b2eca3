#include "sim/board/Board.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/bootmon/BootMonitor.h"
#include "platform/gpio/Gpio.h"
#include "platform/irq/Interrupt.h"
#include "platform/kernel/Kernel.h"
#include "platform/soc/Watchdog.h"
#include "sim/board/AnalogInputs.h"
#include "sim/temp_sensor/TempSensorSim.h"

namespace sim {

namespace {

namespace gpio = platform::gpio;
namespace bm = platform::bootmon;

constexpr unsigned kMaxPushMs = 600000;
constexpr std::size_t kMaxLine = 1024;

std::string Trim(const std::string& text) {
    const char* space = " \t\r\n";
    const std::size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

std::string FormatCelsius(double celsius) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", celsius);
    return text;
}

void DriveButton(bool pressed) {
    gpio::set_input(gpio::Port::F, gpio::kButtonPin, !pressed);
    irq::settle();
}

std::string ButtonCommand(const std::string& arguments) {
    if (arguments == "down") {
        Board::ButtonDown();
        return "OK button down";
    }
    if (arguments == "up") {
        Board::ButtonUp();
        return "OK button up";
    }
    if (arguments.compare(0, 5, "push ") == 0) {
        const std::string number = Trim(arguments.substr(5));
        char* end = nullptr;
        errno = 0;
        const unsigned long ms = std::strtoul(number.c_str(), &end, 10);
        if (number.empty() || number[0] == '-' || *end != '\0' || errno != 0 || ms == 0 ||
            ms > kMaxPushMs)
            return "ERR push time must be 1.." + std::to_string(kMaxPushMs) + " ms";
        Board::ButtonPush(static_cast<unsigned>(ms));
        return "OK button push " + std::to_string(ms) + " ms";
    }
    return "ERR usage: button down|up|push <ms>";
}

std::string TempCommand(const std::string& arguments) {
    char* end = nullptr;
    const double celsius = std::strtod(arguments.c_str(), &end);
    if (arguments.empty() || *end != '\0' || !std::isfinite(celsius))
        return "ERR usage: temp <celsius>";
    Board::SetTemperature(celsius);
    return "OK temperature " + FormatCelsius(BoardTempSensor().Celsius());
}

struct Command {
    Board::Handler handler;
    std::string arguments;  // for help
};

std::string Help();

struct Commands {
    std::mutex lock;
    std::map<std::string, Command> table;
    std::vector<Board::StateFields> stateFields;

    Commands() {
        table["button"] = {&ButtonCommand, "down|up|push <ms>"};
        table["temp"] = {&TempCommand, "<celsius>"};
        table["state"] = {[](const std::string& arguments) {
                              return arguments.empty() ? Board::State()
                                                       : std::string("ERR usage: state");
                          },
                          ""};
        table["help"] = {[](const std::string&) { return Help(); }, ""};
    }
};

Commands& TheCommands() {
    static Commands* commands = new Commands;
    return *commands;
}

std::string Help() {
    Commands& commands = TheCommands();
    std::lock_guard<std::mutex> g(commands.lock);
    std::string answer = "OK commands:";
    const char* separator = " ";
    for (const auto& entry : commands.table) {
        answer += separator + entry.first;
        if (!entry.second.arguments.empty()) answer += " " + entry.second.arguments;
        separator = " | ";
    }
    return answer;
}

bool SendAll(int fd, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool Board::RegisterCommand(const std::string& name, Handler handler,
                            const std::string& arguments) {
    if (name.empty() || !handler || name.find_first_of(" \t\r\n") != std::string::npos)
        return false;
    Commands& commands = TheCommands();
    std::lock_guard<std::mutex> g(commands.lock);
    return commands.table.emplace(name, Command{std::move(handler), arguments}).second;
}

void Board::AddStateFields(StateFields fields) {
    if (!fields) return;
    Commands& commands = TheCommands();
    std::lock_guard<std::mutex> g(commands.lock);
    commands.stateFields.push_back(std::move(fields));
}

std::string Board::Execute(const std::string& line) {
    const std::string command = Trim(line);
    if (command.empty()) return "ERR empty command";
    const std::size_t gap = command.find_first_of(" \t");
    const std::string name = command.substr(0, gap);
    const std::string arguments = gap == std::string::npos ? "" : Trim(command.substr(gap));
    Handler handler;
    {
        Commands& commands = TheCommands();
        std::lock_guard<std::mutex> g(commands.lock);
        auto it = commands.table.find(name);
        if (it == commands.table.end()) return "ERR unknown command: " + name;
        handler = it->second.handler;
    }
    return handler(arguments);
}

void Board::Connect() {
    analog_connect();
    BoardTempSensor().SetOsHook([](bool level) {
        gpio::set_input(gpio::Port::F, gpio::kTempAlarmPin, level);
    });
}

void Board::ButtonDown() { DriveButton(true); }

void Board::ButtonUp() { DriveButton(false); }

void Board::ButtonPush(unsigned ms) {
    const kernel::tick_t release = kernel::current_time() + kernel::ms_to_ticks(ms);
    DriveButton(true);
    std::thread([release] {
        while (kernel::current_time() < release) {
            const double ticks = static_cast<double>(release - kernel::current_time());
            std::this_thread::sleep_for(
                std::chrono::duration<double, std::milli>(ticks * kernel::tick_ms()));
        }
        DriveButton(false);
    }).detach();
}

void Board::SetTemperature(double celsius) { BoardTempSensor().SetCelsius(celsius); }

std::string Board::State() {
    const bool powered = gpio::pin_function(gpio::Port::G, gpio::kPowerHoldPin) != gpio::Output ||
                         gpio::pin_level(gpio::Port::G, gpio::kPowerHoldPin);
    const bm::Record record = bm::record();
    std::vector<StateFields> fields;
    {
        Commands& commands = TheCommands();
        std::lock_guard<std::mutex> g(commands.lock);
        fields = commands.stateFields;
    }
    std::string more;
    for (const StateFields& f : fields) more += f();
    return std::string("OK power=") + (powered ? "on" : "off") +
           " update-mode=" + (record.updateModeRequests > 0 ? "on" : "off") +
           " watchdog-ticks=" + std::to_string(platform::soc::watchdog().ticks_left()) +
           " boot-condition=" + std::to_string(bm::boot_condition()) +
           " keep-alives=" + std::to_string(record.keepAlives) +
           " temperature=" + FormatCelsius(BoardTempSensor().Celsius()) +
           " button=" + (gpio::input(gpio::Port::F, gpio::kButtonPin) ? "up" : "down") + more;
}

Board::~Board() { Close(); }

bool Board::Listen(const std::string& state_dir) {
    return server_.Listen(state_dir + "/board.sock", &Board::Serve);
}

void Board::Close() { server_.Close(); }

// One command a line; a line longer than kMaxLine is refused and skipped.
void Board::Serve(int fd) {
    std::string pending;
    bool overlong = false;
    char buffer[512];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        bool ok = true;
        while (ok && (end = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            ok = SendAll(fd, (overlong ? std::string("ERR line too long") : Execute(line)) + "\n");
            overlong = false;
        }
        if (!ok) break;
        if (pending.size() > kMaxLine) {
            pending.clear();
            overlong = true;
        }
    }
}

}  // namespace sim
