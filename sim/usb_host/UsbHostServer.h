// The simulated USB host served to clients outside the process (the pyusb backend of
// tests/clients/usbsim) on a Unix stream socket, one thread per connection.
//
// Attachment follows the D+ pull-up (GPE9): each change of it ends the attachment at once,
// on the changing thread; a pull-up that is up is then enumerated by the host's watcher
// thread (retried while it stays up), and only that attaches the device again and counts one
// more attachment. Transfers while no device is attached answer -19, and INFO says detached.
//
// Each request runs on its connection's thread within its own deadline (the wait for a busy
// endpoint included) and ends early when its client hangs up; its data goes only to its
// connection.
//
// The interface goes to one host connection at a time, as an operating system lets one process
// claim it: a host connection is all the sockets of one client process (by the socket's peer
// credentials; usbsim opens one per thread). It holds the interface from its CLAIM until its
// RELEASE, the end of its last socket, or the end of the attachment. While one holds it, the
// other connections' CLAIM, RESET and requests other than standard IN control requests (the
// descriptors, status, configuration) answer -16; the device sees nothing of them.
//
// Frames, little-endian; n counts the bytes after n.
//   request: u32 n, u8 op, u8 endpoint, u16 0, u32 timeout_ms (0 = none), u32 in_len,
//            8 setup bytes (zeros unless CONTROL), then the OUT payload of n - 20 bytes
//   reply:   u32 n (= 4 + data), i32 status, data
// Status: 0; -110 time-out; -32 stall; -19 no device; -75 overflow; -16 busy (another host
// connection holds the interface); -22 bad request (also for n < 20, n > 2 MiB + 20 or
// in_len > 2 MiB, after which the connection is closed).
// Ops:
//   1 INFO        six u8 {attached, address, configuration, speed 2, bus 1, port 1}, u16 0,
//                 u32 attach count
//   2 RESET       a reset as Linux's after an error (same address and configuration); one cut
//                 short is made up by the next request before it runs
//   3 CONTROL     the setup bytes; IN: in_len = wLength, data the data stage; OUT: the payload
//                 of wLength bytes. SET_ADDRESS is refused (-22): the host owns the address.
//   4 BULK_OUT    the payload to an OUT endpoint
//   5 BULK_IN     at most in_len bytes from an IN endpoint (a short packet ends it)
//   6 INTR_IN     the same on an interrupt endpoint
//   7 CLEAR_HALT  CLEAR_FEATURE(ENDPOINT_HALT) of the endpoint
//   8 CLAIM       the interface for this host connection (again: no change)
//   9 RELEASE     the interface, if this host connection holds it
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/common/UnixStreamServer.h"
#include "sim/usb_host/UsbHost.h"

namespace sim {

class UsbHostServer {
public:
    enum Op : std::uint8_t {
        OpInfo = 1,
        OpReset = 2,
        OpControl = 3,
        OpBulkOut = 4,
        OpBulkIn = 5,
        OpInterruptIn = 6,
        OpClearHalt = 7,
        OpClaim = 8,
        OpRelease = 9,
    };
    static constexpr std::int32_t kOk = 0;
    static constexpr std::int32_t kTimeout = -110;
    static constexpr std::int32_t kStall = -32;
    static constexpr std::int32_t kNoDevice = -19;
    static constexpr std::int32_t kOverflow = -75;
    static constexpr std::int32_t kBusy = -16;
    static constexpr std::int32_t kBadRequest = -22;
    static constexpr std::uint32_t kHeader = 20;
    static constexpr std::uint32_t kMaxData = 2u << 20;

    explicit UsbHostServer(platform::soc::UsbdModel& model = platform::soc::usbd());
    ~UsbHostServer();  // closes
    UsbHostServer(const UsbHostServer&) = delete;
    UsbHostServer& operator=(const UsbHostServer&) = delete;

    // Serves on path (an old socket file is unlinked first) and starts following the pull-up;
    // false when the socket cannot be made.
    bool Listen(const std::string& path);
    // Ends the connections (joined) and the attachment watcher, and removes the socket file.
    void Close();
    const std::string& SocketPath() const { return server_.Path(); }

    bool Attached() const { return attached_.load(); }
    std::uint32_t AttachCount() const { return attachCount_.load(); }

    // Tests: runs on the watcher's thread each time it takes up a change of the pull-up, before
    // it enumerates (a test holds the watcher there). Empty: none.
    void SetWatchHook(std::function<void()> hook);

private:
    static void PullUpChanged(unsigned pin, bool high, void* context);
    void WatchAttachment();
    void Serve(int fd);
    // One request's status and data from host connection `peer`; close: the connection ends
    // after the reply.
    std::int32_t Handle(long peer, const std::vector<std::uint8_t>& request,
                        std::vector<std::uint8_t>* data, bool* close);
    // CLAIM or RELEASE of `peer` (any other op: only the check); kBusy while another host
    // connection holds the interface.
    std::int32_t Claim(long peer, std::uint8_t op);
    // claimLock_ held: the holder, once its claim has ended (its sockets hung up, or a new
    // attachment) none.
    long HolderLocked();

    platform::soc::UsbdModel& model_;
    UsbHost host_;
    UnixStreamServer server_;
    std::atomic<bool> closing_{false};
    std::atomic<bool> attached_{false};
    std::atomic<std::uint32_t> attachCount_{0};
    std::atomic<std::uint8_t> address_{0};        // of the attachment
    std::atomic<std::uint8_t> configuration_{0};  // of the attachment

    std::mutex watchLock_;
    std::condition_variable watchWake_;
    std::uint32_t edges_ = 0;  // pull-up changes; watchLock_
    std::function<void()> watchHook_;  // watchLock_
    std::thread watcher_;

    static constexpr long kNobody = 0;
    std::mutex claimLock_;
    std::map<long, std::vector<int>> peers_;  // host connection -> its sockets; claimLock_
    long holder_ = kNobody;                   // claimLock_
    std::uint32_t holderAttachment_ = 0;      // the attachment it claimed; claimLock_
};

}  // namespace sim
