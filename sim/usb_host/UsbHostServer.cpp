#include "sim/usb_host/UsbHostServer.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include "platform/gpio/Gpio.h"

namespace sim {

namespace {

constexpr int kEnumerationTries = 5;
constexpr std::uint8_t kSetAddress = 5;

std::uint32_t Le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

bool ReadExact(int fd, std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::recv(fd, data, length, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// The client has closed its end (or the server shut the connection down).
bool HungUp(int fd) {
    pollfd p{fd, 0, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR)) != 0;
}

std::int32_t StatusOf(UsbHost::Result result) {
    switch (result) {
        case UsbHost::Result::Ok: return UsbHostServer::kOk;
        case UsbHost::Result::Timeout: return UsbHostServer::kTimeout;
        case UsbHost::Result::Stall: return UsbHostServer::kStall;
        case UsbHost::Result::NoDevice: return UsbHostServer::kNoDevice;
        case UsbHost::Result::Overflow: return UsbHostServer::kOverflow;
        case UsbHost::Result::Abandoned: return UsbHostServer::kTimeout;  // nobody to tell
    }
    return UsbHostServer::kBadRequest;
}

}  // namespace

UsbHostServer::UsbHostServer(platform::soc::UsbdModel& model) : model_(model), host_(model) {}

UsbHostServer::~UsbHostServer() { Close(); }

void UsbHostServer::PullUpChanged(unsigned, bool, void* context) {
    // On the writing thread, with the interrupt-disable lock held. The attachment ends here,
    // not when the watcher gets round to it: until then a client would still be shown the
    // device and use it, and the watcher's late enumeration would then reset it under them.
    auto* self = static_cast<UsbHostServer*>(context);
    std::lock_guard<std::mutex> g(self->watchLock_);
    self->attached_.store(false);
    ++self->edges_;
    self->watchWake_.notify_all();
}

void UsbHostServer::SetWatchHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> g(watchLock_);
    watchHook_ = std::move(hook);
}

bool UsbHostServer::Listen(const std::string& path) {
    Close();
    if (!server_.Listen(path, [this](int fd) { Serve(fd); })) return false;
    closing_.store(false);
    {
        std::lock_guard<std::mutex> g(watchLock_);
        ++edges_;  // a device attached already is enumerated at once
    }
    platform::gpio::add_listener(platform::gpio::Port::E, platform::soc::kUsbdPullUpPin,
                                 &UsbHostServer::PullUpChanged, this);
    watcher_ = std::thread(&UsbHostServer::WatchAttachment, this);
    return true;
}

void UsbHostServer::Close() {
    if (!server_.Listening()) return;
    closing_.store(true);
    platform::gpio::remove_listener(platform::gpio::Port::E, platform::soc::kUsbdPullUpPin,
                                    &UsbHostServer::PullUpChanged, this);
    {
        std::lock_guard<std::mutex> g(watchLock_);
        watchWake_.notify_all();
    }
    watcher_.join();
    server_.Close();
    attached_.store(false);
}

// A pull-up that is up (again) after a change is enumerated, as a PC's hub does after the
// connect debounce (the change itself ended the attachment).
void UsbHostServer::WatchAttachment() {
    std::uint32_t seen = 0;
    std::unique_lock<std::mutex> g(watchLock_);
    for (;;) {
        watchWake_.wait(g, [&] { return closing_.load() || edges_ != seen; });
        if (closing_.load()) return;
        seen = edges_;
        const std::function<void()> hook = watchHook_;
        g.unlock();
        if (hook) hook();
        bool enumerated = false;
        for (int i = 0; i < kEnumerationTries && !enumerated && model_.pull_up(); ++i) {
            enumerated = host_.enumerate() == UsbHost::Result::Ok;
            if (!enumerated) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        g.lock();
        // A change meanwhile is enumerated again by the next round.
        if (enumerated && edges_ == seen && !closing_.load()) {
            address_.store(host_.address());
            configuration_.store(host_.configuration());
            attached_.store(true);
            attachCount_.fetch_add(1);
        }
    }
}

void UsbHostServer::Serve(int fd) {
    // A transfer whose client has gone ends at once: it takes nothing more from the device.
    UsbHost::set_thread_abandon_check([fd] { return HungUp(fd); });
    // The host connection: the client process, or this socket alone when it has none to show.
    ucred peer{};
    socklen_t size = sizeof peer;
    const long key = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.pid > 0
                         ? static_cast<long>(peer.pid)
                         : -1L - fd;
    {
        std::lock_guard<std::mutex> g(claimLock_);
        peers_[key].push_back(fd);
    }
    std::vector<std::uint8_t> request;
    std::vector<std::uint8_t> data;
    std::vector<std::uint8_t> reply;
    for (;;) {
        std::uint8_t head[4];
        if (!ReadExact(fd, head, sizeof head)) break;
        const std::uint32_t n = Le32(head);
        bool close = false;
        data.clear();
        std::int32_t status = kBadRequest;
        if (n < kHeader || n > kMaxData + kHeader) {
            close = true;
        } else {
            request.resize(n);
            if (!ReadExact(fd, request.data(), n)) break;
            status = Handle(key, request, &data, &close);
        }
        reply.clear();
        PutLe32(reply, static_cast<std::uint32_t>(4 + data.size()));
        PutLe32(reply, static_cast<std::uint32_t>(status));
        reply.insert(reply.end(), data.begin(), data.end());
        if (!WriteAll(fd, reply.data(), reply.size()) || close) break;
    }
    std::lock_guard<std::mutex> g(claimLock_);
    std::vector<int>& sockets = peers_[key];
    sockets.erase(std::find(sockets.begin(), sockets.end(), fd));
    if (sockets.empty()) {
        peers_.erase(key);
        if (holder_ == key) holder_ = kNobody;
    }
}

long UsbHostServer::HolderLocked() {
    if (holder_ == kNobody) return kNobody;
    // A killed client's sockets have hung up before its last server thread has noticed.
    const auto found = peers_.find(holder_);
    const bool gone = found == peers_.end() ||
                      std::all_of(found->second.begin(), found->second.end(), HungUp);
    if (gone || holderAttachment_ != attachCount_.load()) holder_ = kNobody;
    return holder_;
}

std::int32_t UsbHostServer::Claim(long peer, std::uint8_t op) {
    std::lock_guard<std::mutex> g(claimLock_);
    const long holder = HolderLocked();
    if (holder != kNobody && holder != peer) return kBusy;
    if (op == OpClaim) {
        holder_ = peer;
        holderAttachment_ = attachCount_.load();
    } else if (op == OpRelease) {
        holder_ = kNobody;
    }
    return kOk;
}

std::int32_t UsbHostServer::Handle(long peer, const std::vector<std::uint8_t>& request,
                                   std::vector<std::uint8_t>* data, bool* close) {
    const std::uint8_t op = request[0];
    const std::uint8_t endpoint = request[1];
    const std::uint32_t timeoutMs = Le32(&request[4]);
    const std::uint32_t inLength = Le32(&request[8]);
    const std::uint8_t* setup = &request[12];
    const std::vector<std::uint8_t> payload(request.begin() + kHeader, request.end());
    if (inLength > kMaxData) {
        *close = true;
        return kBadRequest;
    }
    if (op == OpInfo) {
        const bool attached = attached_.load();
        const std::uint8_t info[6] = {static_cast<std::uint8_t>(attached ? 1 : 0),
                                      static_cast<std::uint8_t>(attached ? address_.load() : 0),
                                      static_cast<std::uint8_t>(attached ? configuration_.load() : 0),
                                      2, 1, 1};
        data->assign(info, info + sizeof info);
        data->push_back(0);
        data->push_back(0);
        PutLe32(*data, attachCount_.load());
        return kOk;
    }
    const bool in = (endpoint & 0x80) != 0;
    const std::uint8_t number = endpoint & 0x0F;
    switch (op) {
        case OpReset:
        case OpControl:
        case OpClearHalt:
        case OpClaim:
        case OpRelease: break;
        case OpBulkOut:
            if (in || number == 0) return kBadRequest;
            break;
        case OpBulkIn:
        case OpInterruptIn:
            if (!in || number == 0) return kBadRequest;
            break;
        default: return kBadRequest;
    }
    UsbHost::Setup s{setup[0], setup[1], static_cast<std::uint16_t>(setup[2] | (setup[3] << 8)),
                     static_cast<std::uint16_t>(setup[4] | (setup[5] << 8)),
                     static_cast<std::uint16_t>(setup[6] | (setup[7] << 8))};
    if (op == OpControl && ((s.bmRequestType & 0x80) != 0 ? inLength != s.wLength || !payload.empty()
                                                          : payload.size() != s.wLength))
        return kBadRequest;
    // The host owns the device's address.
    if (op == OpControl && s.bmRequestType == 0x00 && s.bRequest == kSetAddress) return kBadRequest;
    if (!attached_.load()) return kNoDevice;
    if (op == OpClaim || op == OpRelease) return Claim(peer, op);
    // Enumeration is open to every host connection, as on a real bus.
    const bool enumeration = op == OpControl && (s.bmRequestType & 0xE0) == 0x80;
    if (!enumeration && Claim(peer, OpInfo) != kOk) return kBusy;
    UsbHost::set_thread_timeout_ms(timeoutMs);
    UsbHost::Result result = UsbHost::Result::Ok;
    switch (op) {
        case OpReset: result = host_.reset_device(); break;
        case OpControl:
            if ((s.bmRequestType & 0x80) != 0) {
                result = host_.control(s, data);
            } else {
                std::vector<std::uint8_t> out = payload;
                result = host_.control(s, &out);
            }
            break;
        case OpBulkOut: result = host_.bulk_out(endpoint, payload); break;
        case OpBulkIn: result = host_.bulk_in(endpoint, inLength, data); break;
        case OpInterruptIn: result = host_.interrupt_in(endpoint, inLength, data); break;
        case OpClearHalt: result = host_.clear_halt(endpoint); break;
        default: break;
    }
    return StatusOf(result);
}

}  // namespace sim
