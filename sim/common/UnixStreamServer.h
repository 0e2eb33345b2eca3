// A Unix stream socket served with one thread per connection, for the simulation's sockets
// (the board's control socket, the USB host's socket).
#pragma once

#include <sys/un.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

class UnixStreamServer {
public:
    // Runs one connection until it returns; the server closes the descriptor afterwards.
    using Serve = std::function<void(int fd)>;

    UnixStreamServer() = default;
    ~UnixStreamServer();  // closes
    UnixStreamServer(const UnixStreamServer&) = delete;
    UnixStreamServer& operator=(const UnixStreamServer&) = delete;

    // Serves path (an old socket file is unlinked first); false when the socket cannot be
    // made.
    bool Listen(const std::string& path, Serve serve);
    // Ends the connections (shut down, their threads joined) and removes the socket file.
    void Close();
    bool Listening() const { return listener_ >= 0; }
    // A new stream socket, and path's address in address; -1 when path does not fit or no
    // socket can be made.
    static int Socket(const std::string& path, sockaddr_un* address);
    const std::string& Path() const { return path_; }

private:
    void AcceptLoop();
    void Run(int fd);

    Serve serve_;
    std::string path_;
    int listener_ = -1;
    std::atomic<bool> closing_{false};
    std::thread acceptor_;
    std::mutex lock_;
    std::vector<std::thread> connections_;  // guarded by lock_
    std::vector<int> fds_;                  // open connections; guarded by lock_
    std::vector<std::thread::id> ended_;    // connections whose thread is ending; lock_
};

}  // namespace sim
