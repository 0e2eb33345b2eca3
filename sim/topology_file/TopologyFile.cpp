#include "sim/topology_file/TopologyFile.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "sim/board/AnalogInputs.h"
#include "sim/board/Board.h"

namespace sim {
namespace periph {

namespace {

constexpr unsigned kMaxHeads = 16;
constexpr unsigned kMaxPorts = 40;

bool Number(const std::string& text, long& out, long low, long high) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtol(text.c_str(), &end, 0);
    return errno == 0 && *end == '\0' && out >= low && out <= high;
}

bool Doubles(const std::string& text, std::vector<double>& out, std::size_t count) {
    out.clear();
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) {
        char* end = nullptr;
        const double v = std::strtod(part.c_str(), &end);
        if (part.empty() || *end != '\0') return false;
        out.push_back(v);
    }
    return out.size() == count;
}

}  // namespace

bool ParseDescription(const std::string& line, std::string& path, DeviceDescription& d,
                      std::string& error) {
    std::istringstream in(line);
    std::string kind;
    d = DeviceDescription{};
    if (!(in >> path >> kind)) {
        error = "expected <path> probe|camera|mux";
        return false;
    }
    if (kind == "probe")
        d.kind = Kind::Probe;
    else if (kind == "camera")
        d.kind = Kind::Camera;
    else if (kind == "mux")
        d.kind = Kind::Multiplexer;
    else {
        error = "unknown device kind " + kind;
        return false;
    }
    std::string item;
    while (in >> item) {
        const std::size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        long n = 0;
        std::vector<double> v;
        bool ok = true;
        if (key == "word") {
            ok = Number(value, n, 0, 0xFFFF);
            d.word = static_cast<int>(n);
        } else if (key == "number") {
            ok = Number(value, n, 0, 0xFFFFFF);
            d.number = n;
        } else if (key == "type") {
            ok = Number(value, n, 0, 255);
            d.typeCode = static_cast<int>(n);
        } else if (key == "designation") {
            ok = !value.empty() && value.size() < 200;
            d.designation = value;
        } else if (key == "range") {
            ok = Doubles(value, v, 2) && v[0] <= v[1];
            if (ok) d.minHz = v[0], d.maxHz = v[1];
        } else if (key == "gyro") {
            ok = Doubles(value, v, 1);
            if (ok) d.gyro = v[0];
        } else if (key == "hall") {
            ok = Doubles(value, v, 3);
            if (ok) {
                d.hall = true;
                d.hallTesla = {v[0], v[1], v[2]};
            }
        } else if (key == "memory") {
            if (value == "single")
                d.memory = MemoryLayout::Single;
            else if (value == "directory")
                d.memory = MemoryLayout::Directory;
            else if (value == "blank")
                d.memory = MemoryLayout::Blank;
            else
                ok = false;
        } else if (key == "heads") {
            ok = Number(value, n, 0, kMaxHeads);
            d.heads = static_cast<unsigned>(n);
        } else if (key == "ports") {
            ok = Number(value, n, 0, kMaxPorts);
            d.ports = static_cast<unsigned>(n);
        } else {
            ok = false;
        }
        if (!ok) {
            error = "bad item " + item;
            return false;
        }
    }
    return true;
}

bool LoadTopologyFile(const std::string& file, std::string& error,
                      PeripheralControllerSim& controller) {
    std::ifstream in(file);
    if (!in) {
        error = "cannot open " + file;
        return false;
    }
    controller.Clear();
    std::string line;
    unsigned number = 0;
    std::map<std::string, unsigned> described;  // path -> its line
    while (std::getline(in, line)) {
        ++number;
        const std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        std::string path, reason;
        DeviceDescription d;
        bool ok = ParseDescription(line, path, d, reason);
        if (ok) {
            // A second line for a place would silently drop the first one's device.
            const auto [earlier, fresh] = described.emplace(path, number);
            if (!fresh) {
                reason = "path " + path + " is already described on line " +
                         std::to_string(earlier->second);
                ok = false;
            }
        }
        if (!ok || !controller.Plug(path, d, reason)) {
            error = file + ":" + std::to_string(number) + ": " + reason;
            return false;
        }
    }
    return true;
}

namespace {

struct FaultName {
    const char* name;
    Fault fault;
};

const FaultName kFaults[] = {{"badcheck", Fault::BadCheck},     {"nack", Fault::Nack},
                             {"refuse", Fault::Refuse},         {"neverready", Fault::NeverReady},
                             {"zerodata", Fault::ZeroData},     {"route6", Fault::Route6},
                             {"shortentry", Fault::ShortEntry}, {"pending", Fault::Pending}};

std::string FaultNames() {
    std::string names;
    for (const FaultName& f : kFaults) names += (names.empty() ? "" : "|") + std::string(f.name);
    return names;
}

// The state fields of the socket: NMR path, AIN0, what is plugged where, armed faults.
std::string StateFields(const PeripheralControllerSim& controller) {
    std::string faults;
    for (const auto& [fault, count] : controller.ArmedFaults()) {
        for (const FaultName& f : kFaults)
            if (f.fault == fault) faults += (faults.empty() ? "" : ",") + std::string(f.name) + ":" + std::to_string(count);
    }
    return " nmr=" + std::to_string(PeripheralControllerSim::NmrPathState()) +
           " ain0=" + std::to_string(analog_get(0)) + " plugged=" + controller.PluggedDevices() +
           " faults=" + (faults.empty() ? "none" : faults);
}

}  // namespace

bool HandleCommand(const std::string& line, std::string& reply,
                   PeripheralControllerSim& controller) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    std::string rest;
    std::getline(in, rest);
    std::istringstream args(rest);
    reply = "OK";
    long n = 0;
    if (command == "plug") {
        std::string path, error;
        DeviceDescription d;
        if (!ParseDescription(rest, path, d, error) || !controller.Plug(path, d, error))
            reply = "ERR " + error;
    } else if (command == "unplug") {
        std::string path, error;
        if (!(args >> path) || !controller.Unplug(path, error)) reply = "ERR " + error;
    } else if (command == "nmr") {
        std::string level;
        args >> level;
        if (Number(level, n, 0, 3))
            PeripheralControllerSim::SetNmrLevel(static_cast<unsigned>(n));
        else
            reply = "ERR expected nmr 0|1|2|3";
    } else if (command == "adc") {
        std::string level;
        args >> level;
        if (Number(level, n, 0, 1023))
            analog_set(0, static_cast<std::uint16_t>(n));
        else
            reply = "ERR expected adc 0..1023";
    } else if (command == "fault") {
        std::string name, count;
        args >> name >> count;
        const FaultName* fault = nullptr;
        for (const FaultName& f : kFaults)
            if (name == f.name) fault = &f;
        if (name.empty()) {
            reply = "OK faults: " + FaultNames();
        } else if (fault == nullptr) {
            reply = "ERR unknown fault " + name + "; fault <name> <n>, names: " + FaultNames();
        } else if (Number(count, n, 0, 1000000)) {
            controller.ArmFault(fault->fault, static_cast<unsigned>(n));
        } else {
            reply = "ERR expected fault <name> <n>";
        }
    } else {
        return false;
    }
    return true;
}

void RegisterPeripheralCommands() {
    static const struct {
        const char* name;
        const char* arguments;
    } kCommands[] = {
        {"plug", "<path> probe|camera|mux [word=] [number=] [designation=] [range=minHz,maxHz] "
                 "[gyro=] [hall=x,y,z] [memory=single|directory|blank] [heads=] [ports=] [type=]"},
        {"unplug", "<path>"},
        {"nmr", "0|1|2|3 (AIN0 1000 empty, 790 plugged, 565 broken path, 320 broken path)"},
        {"adc", "<0..1023> (AIN0 raw)"},
        {"fault", "[<name> <n>]"},
    };
    for (const auto& c : kCommands) {
        const std::string command = c.name;
        std::string arguments = c.arguments;
        if (command == "fault") arguments += " (names: " + FaultNames() + "; none: lists them)";
        Board::RegisterCommand(
            command,
            [command](const std::string& args) {
                std::string reply;
                HandleCommand(command + " " + args, reply);
                return reply;
            },
            arguments);
    }
    Board::AddStateFields([] { return StateFields(BoardPeripheralController()); });
}

}  // namespace periph
}  // namespace sim
