#include "sim/common/UnixStreamServer.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace sim {

UnixStreamServer::~UnixStreamServer() { Close(); }

int UnixStreamServer::Socket(const std::string& path, sockaddr_un* address) {
    *address = sockaddr_un{};
    if (path.empty() || path.size() >= sizeof address->sun_path) return -1;
    address->sun_family = AF_UNIX;
    path.copy(address->sun_path, path.size());
    return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

bool UnixStreamServer::Listen(const std::string& path, Serve serve) {
    Close();
    sockaddr_un address{};
    const int fd = Socket(path, &address);
    if (fd < 0) return false;
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0) {
        ::close(fd);
        return false;
    }
    serve_ = std::move(serve);
    path_ = path;
    listener_ = fd;
    closing_.store(false);
    acceptor_ = std::thread(&UnixStreamServer::AcceptLoop, this);
    return true;
}

void UnixStreamServer::Close() {
    if (listener_ < 0) return;
    closing_.store(true);
    ::shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
        threads.swap(connections_);
        ended_.clear();
    }
    for (std::thread& t : threads) t.join();
    ::close(listener_);
    listener_ = -1;
    ::unlink(path_.c_str());
}

void UnixStreamServer::AcceptLoop() {
    while (!closing_.load()) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        // Connections that ended are joined here, so a long run does not pile them up.
        std::vector<std::thread> ended;
        {
            std::lock_guard<std::mutex> g(lock_);
            if (closing_.load()) {
                ::close(fd);
                return;
            }
            for (auto it = connections_.begin(); it != connections_.end();) {
                if (std::find(ended_.begin(), ended_.end(), it->get_id()) != ended_.end()) {
                    ended.push_back(std::move(*it));
                    it = connections_.erase(it);
                } else {
                    ++it;
                }
            }
            ended_.clear();
            fds_.push_back(fd);
            connections_.emplace_back(&UnixStreamServer::Run, this, fd);
        }
        for (std::thread& t : ended) t.join();
    }
}

void UnixStreamServer::Run(int fd) {
    serve_(fd);
    std::lock_guard<std::mutex> g(lock_);
    fds_.erase(std::find(fds_.begin(), fds_.end(), fd));
    ::close(fd);
    ended_.push_back(std::this_thread::get_id());
}

}  // namespace sim
