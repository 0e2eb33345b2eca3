// Board-level actions (power off, reset, watchdog reset, firmware-update mode) all go to one
// sink. The runner installs a sink that acts on the process; by default, and in tests, the
// actions are only recorded.
#pragma once

#include <vector>

namespace platform::soc {

enum class BoardAction {
    PowerOff,
    Reset,
    WatchdogReset,
    FirmwareUpdateMode,
};

using BoardActionSink = void (*)(BoardAction action);

// nullptr restores the recording sink.
void set_board_action_sink(BoardActionSink sink);
void board_action(BoardAction action);

// What the recording sink received, oldest first.
std::vector<BoardAction> recorded_board_actions();
void clear_recorded_board_actions();

}  // namespace platform::soc
