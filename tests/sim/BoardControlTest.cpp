// The board's control commands in-process and over "<state>/board.sock".
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/gpio/Gpio.h"
#include "platform/kernel/Kernel.h"
#include "sim/board/Board.h"
#include "sim/board/HangCommand.h"
#include "sim/temp_sensor/TempSensorSim.h"

namespace {

namespace gpio = platform::gpio;

bool ButtonPressed() { return !gpio::input(gpio::Port::F, gpio::kButtonPin); }

TEST(BoardControl, ButtonCommandsDriveGpf7) {
    EXPECT_EQ(sim::Board::Execute("button down"), "OK button down");
    EXPECT_TRUE(ButtonPressed());
    EXPECT_NE(sim::Board::State().find("button=down"), std::string::npos);
    EXPECT_EQ(sim::Board::Execute("  button   up "), "OK button up");
    EXPECT_FALSE(ButtonPressed());
    EXPECT_EQ(sim::Board::Execute("button sideways").rfind("ERR ", 0), 0u);
    EXPECT_EQ(sim::Board::Execute("button push 0").rfind("ERR ", 0), 0u);
    EXPECT_EQ(sim::Board::Execute("button push -5").rfind("ERR ", 0), 0u);
    EXPECT_EQ(sim::Board::Execute("button push 20x").rfind("ERR ", 0), 0u);
}

TEST(BoardControl, PushReleasesAfterItsBoardTime) {
    const kernel::tick_t start = kernel::current_time();
    EXPECT_EQ(sim::Board::Execute("button push 50"), "OK button push 50 ms");
    EXPECT_TRUE(ButtonPressed());
    while (ButtonPressed() && kernel::current_time() < start + 500)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(ButtonPressed());
    EXPECT_GE(kernel::current_time(), start + 5);  // 50 ms is 5 ticks
}

TEST(BoardControl, TempDrivesTheSensorAndItsAlarmPin) {
    sim::Board::Connect();
    EXPECT_EQ(sim::Board::Execute("temp 41.5"), "OK temperature 41.5");
    EXPECT_DOUBLE_EQ(sim::BoardTempSensor().Celsius(), 41.5);
    EXPECT_NE(sim::Board::State().find("temperature=41.5"), std::string::npos);
    EXPECT_TRUE(gpio::input(gpio::Port::F, gpio::kTempAlarmPin));
    sim::Board::Execute("temp 90");  // above T_OS: the alarm pulls GPF2 low
    EXPECT_FALSE(gpio::input(gpio::Port::F, gpio::kTempAlarmPin));
    sim::Board::Execute("temp 25");  // below T_HYST: released
    EXPECT_TRUE(gpio::input(gpio::Port::F, gpio::kTempAlarmPin));
    EXPECT_EQ(sim::Board::Execute("temp"), "ERR usage: temp <celsius>");
    EXPECT_EQ(sim::Board::Execute("temp warm"), "ERR usage: temp <celsius>");
    EXPECT_EQ(sim::Board::Execute("temp nan"), "ERR usage: temp <celsius>");
}

TEST(BoardControl, UnknownAndRegisteredCommands) {
    EXPECT_EQ(sim::Board::Execute("bogus"), "ERR unknown command: bogus");
    EXPECT_EQ(sim::Board::Execute(""), "ERR empty command");
    EXPECT_TRUE(sim::Board::RegisterCommand("echo", [](const std::string& a) { return "OK " + a; }));
    EXPECT_FALSE(sim::Board::RegisterCommand("echo", [](const std::string&) { return "OK"; }));
    EXPECT_FALSE(sim::Board::RegisterCommand("two words", [](const std::string&) { return "OK"; }));
    EXPECT_EQ(sim::Board::Execute("echo a b"), "OK a b");
    const std::string state = sim::Board::State();
    EXPECT_EQ(state.rfind("OK power=", 0), 0u);
    for (const char* key : {" update-mode=", " watchdog-ticks=", " boot-condition=", " keep-alives="})
        EXPECT_NE(state.find(key), std::string::npos) << key;
}

// help names every command with its arguments; fields added to state follow the board's own.
TEST(BoardControl, HelpListsCommandsAndStateTakesAddedFields) {
    EXPECT_TRUE(sim::Board::RegisterCommand("probe-x", [](const std::string&) { return "OK"; },
                                            "<a> <b>"));
    const std::string help = sim::Board::Execute("help");
    for (const char* entry : {"button down|up|push <ms>", "temp <celsius>", "state", "help",
                              "probe-x <a> <b>"})
        EXPECT_NE(help.find(entry), std::string::npos) << entry;
    EXPECT_EQ(help.rfind("OK commands: ", 0), 0u);
    sim::Board::AddStateFields([] { return std::string(" extra=1"); });
    const std::string state = sim::Board::State();
    EXPECT_EQ(state.substr(state.size() - 8), " extra=1");
    EXPECT_NE(state.find(" button="), std::string::npos);
}

std::string Ask(int fd, const std::string& line) {
    const std::string out = line + "\n";
    EXPECT_EQ(::send(fd, out.data(), out.size(), MSG_NOSIGNAL), static_cast<ssize_t>(out.size()));
    std::string answer;
    char c = 0;
    while (::recv(fd, &c, 1, 0) == 1 && c != '\n') answer += c;
    return answer;
}

TEST(BoardControl, HangSuspendsALiveThreadFoundByName) {
    ASSERT_TRUE(sim::RegisterHangCommand());
    const kernel::handle_t t =
        kernel::thread_create(5, [](kernel::addrword_t) {}, 0, "Idle Worker", 8192);
    ASSERT_NE(t, 0u);
    EXPECT_EQ(sim::Board::Execute("hang Idle Worker"), "OK hung Idle Worker");
    EXPECT_EQ(kernel::thread_info(t).suspend_count, 2);  // created suspended, then hung
    EXPECT_EQ(sim::Board::Execute("hang Idle"), "ERR no thread Idle (hang alone lists the threads)");
    EXPECT_NE(sim::Board::Execute("hang").find(" Idle Worker"), std::string::npos);  // "OK threads: ..."
    ASSERT_TRUE(kernel::thread_delete(t));
    EXPECT_EQ(kernel::thread_find("Idle Worker"), 0u);
    EXPECT_EQ(sim::Board::Execute("hang"), "OK threads:");
    EXPECT_EQ(sim::Board::Execute("hang Idle Worker"), "ERR no thread Idle Worker (hang alone lists the threads)");
}

TEST(BoardControl, SocketServesOneAnswerPerLine) {
    char tmpl[] = "/tmp/korvex-sock-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string state = tmpl;
    {
        sim::Board board;
        ASSERT_TRUE(board.Listen(state));
        EXPECT_EQ(board.SocketPath(), state + "/board.sock");
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        board.SocketPath().copy(address.sun_path, board.SocketPath().size());
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(Ask(fd, "temp 30.5"), "OK temperature 30.5");
        EXPECT_EQ(Ask(fd, "state").rfind("OK power=", 0), 0u);
        EXPECT_EQ(Ask(fd, "bogus"), "ERR unknown command: bogus");
        // Two commands in one write, answered in order.
        const std::string two = "button up\nbutton down\n";
        ASSERT_EQ(::send(fd, two.data(), two.size(), MSG_NOSIGNAL), static_cast<ssize_t>(two.size()));
        std::string answers;
        char c = 0;
        while (answers.size() < 30 && ::recv(fd, &c, 1, 0) == 1) {
            answers += c;
            if (answers == "OK button up\nOK button down\n") break;
        }
        EXPECT_EQ(answers, "OK button up\nOK button down\n");
        sim::Board::ButtonUp();
        ::close(fd);
        // A client still connected does not keep the board from closing.
        const int idle = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(::connect(idle, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        board.Close();
        EXPECT_FALSE(std::filesystem::exists(state + "/board.sock"));
        ::close(idle);
    }
    std::filesystem::remove_all(state);
}

}  // namespace
