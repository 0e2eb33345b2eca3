#include "sim/board/HangCommand.h"

#include "platform/kernel/Kernel.h"
#include "sim/board/Board.h"

namespace sim {

std::string HangCommand(const std::string& arguments) {
    if (arguments.empty()) {
        std::string answer = "OK threads:";
        const char* separator = " ";
        for (const std::string& name : kernel::thread_names()) {
            answer += separator + name;
            separator = " | ";
        }
        return answer;
    }
    const kernel::handle_t thread = kernel::thread_find(arguments.c_str());
    if (thread == 0) return "ERR no thread " + arguments + " (hang alone lists the threads)";
    kernel::thread_suspend(thread);
    return "OK hung " + arguments;
}

bool RegisterHangCommand() { return Board::RegisterCommand("hang", &HangCommand, "[<thread name>] (none: lists the threads)"); }

}  // namespace sim
