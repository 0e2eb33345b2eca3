// The simulated board's control panel: the on/off button, the temperature, and a look at the
// board's state, as commands of one line each. Tests call sim::Board in-process; the runner
// also serves the same commands on the control socket "<state>/board.sock" (Unix stream, one
// command a line, one answer line each: "OK ..." or "ERR <text>").
//
// Commands:
//   button down | button up      presses / releases the button (GPF7 low / high)
//   button push <ms>             presses it now and releases it <ms> of board time later
//   temp <celsius>               the temperature sensor's reading
//   state                        "OK power=on|off update-mode=on|off watchdog-ticks=N
//                                 boot-condition=N keep-alives=N temperature=T button=up|down"
//                                 then the fields other subsystems add (AddStateFields)
//   help                         "OK commands:" then one "<name> <arguments>" per command,
//                                 joined by " | "
// Other subsystems add their own commands with RegisterCommand.
#pragma once

#include <functional>
#include <string>

#include "sim/common/UnixStreamServer.h"

namespace sim {

class Board {
public:
    // Gets the text after the command name (trimmed); returns the whole answer line.
    using Handler = std::function<std::string(const std::string& arguments)>;

    // Returns " key=value" fields (each with its leading blank) for the state answer.
    using StateFields = std::function<std::string()>;

    // Adds a command; false when the name is taken. arguments: how its arguments are
    // written, for help (e.g. "<path> <description>").
    static bool RegisterCommand(const std::string& name, Handler handler,
                                const std::string& arguments = "");
    // Adds fields to the end of the state answer (after the board's own, in call order).
    static void AddStateFields(StateFields fields);
    // Runs one command line; the answer without its line end.
    static std::string Execute(const std::string& line);

    // Wires the simulated devices to the board's pins and inputs: the temperature sensor's OS
    // output to GPF2, the analogue inputs to the ADC.
    static void Connect();

    static void ButtonDown();
    static void ButtonUp();
    // Presses now; a helper thread releases after ms of board time.
    static void ButtonPush(unsigned ms);
    static void SetTemperature(double celsius);
    static std::string State();

    Board() = default;
    ~Board();  // closes the socket
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // Serves the commands on "<state_dir>/board.sock" (an old socket file is replaced).
    // false when the socket cannot be made.
    bool Listen(const std::string& state_dir);
    void Close();
    const std::string& SocketPath() const { return server_.Path(); }

private:
    static void Serve(int connection);

    UnixStreamServer server_;
};

}  // namespace sim
