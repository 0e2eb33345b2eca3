#include <gtest/gtest.h>
#include <pthread.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "engine/os/Allocator.h"
#include "engine/os/OSEvent.h"
#include "engine/os/OSMutex.h"
#include "engine/os/OSSocket.h"
#include "engine/os/OSThread.h"
#include "engine/os/OSUsbDevice.h"
#include "platform/irq/Interrupt.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kLoopback = INADDR_LOOPBACK;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string CurrentThreadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    return name;
}

// ---- allocator -----------------------------------------------------------------------------

TEST(engine_os, AllocatorFailsTheChosenAllocation) {
    const std::int64_t live = EngineLiveBlocks();
    EngineFailAllocation(2);
    void* first = EngineAllocate(8);
    void* second = EngineAllocate(8);
    void* third = EngineAllocate(8);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(EngineLiveBlocks(), live + 2);
    EngineFree(first);
    EngineFree(third);
    EngineFree(nullptr);
    EXPECT_EQ(EngineLiveBlocks(), live);
}

TEST(engine_os, AllocatorMisalignsOnlyTheNextBlock) {
    EngineMisalignNextBlock();
    void* odd = EngineAllocate(16);
    void* even = EngineAllocate(16);
    ASSERT_NE(odd, nullptr);
    ASSERT_NE(even, nullptr);
    EXPECT_NE(reinterpret_cast<std::uintptr_t>(odd) % 4, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(even) % 16, 0u);
    std::memset(odd, 0xA5, 16);
    EngineFree(odd);
    EngineFree(even);
    EngineResetAllocatorHooks();
}

// ---- mutex and event -------------------------------------------------------------------------

TEST(engine_os, MutexRelockByOwnerReports5) {
    COSMutex mutex;
    ASSERT_EQ(mutex.InitFailed(), 0u);
    std::uint32_t status = 0x543FF;
    mutex.Lock(&status);
    EXPECT_EQ(status, 0u);
    mutex.Lock(&status);
    EXPECT_EQ(status, 5u);

    std::atomic<bool> locked{false};
    std::thread other([&] {
        std::uint32_t otherStatus = 0x543FF;
        mutex.Lock(&otherStatus);
        locked = otherStatus == 0;
        mutex.Unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(locked.load());
    mutex.Unlock();
    other.join();
    EXPECT_TRUE(locked.load());
}

TEST(engine_os, EventWaitsWholeTicks) {
    COSEvent event(0, 1);
    ASSERT_EQ(event.InitFailed(), 0u);
    std::uint32_t status = 0;
    auto start = Clock::now();
    event.Wait(0, &status);
    EXPECT_EQ(status, 6u);

    start = Clock::now();
    event.Wait(25, &status);  // 2 ticks
    EXPECT_EQ(status, 6u);
    EXPECT_GE(MsSince(start), 20.0);

    start = Clock::now();
    event.Wait(5, &status);  // at least 1 tick
    EXPECT_EQ(status, 6u);
    EXPECT_GE(MsSince(start), 10.0);
}

TEST(engine_os, EventCountStopsAtItsMaximum) {
    COSEvent event(1, 2);
    event.Post();
    event.Post();  // already at 2
    std::uint32_t status = 0x543FF;
    event.Wait(0, &status);
    EXPECT_EQ(status, 0u);
    event.Wait(0, &status);
    EXPECT_EQ(status, 0u);
    event.Wait(0, &status);
    EXPECT_EQ(status, 6u);
}

TEST(engine_os, EventWaitWithoutLimitTakesAPostFromAnotherThread) {
    COSEvent event(0, 1);
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        event.Post();
    });
    std::uint32_t status = 0x543FF;
    event.Wait(COSEvent::kWaitForever, &status);
    EXPECT_EQ(status, 0u);
    poster.join();
}

// ---- thread ----------------------------------------------------------------------------------

class BlockingThread : public COSThread {
public:
    COSEvent release{0, 1};
    std::atomic<bool> finished{false};
    std::string name;

protected:
    void Run() override {
        SetState(1);
        NotifyStarted();
        name = CurrentThreadName();
        std::uint32_t status = 0;
        release.Wait(COSEvent::kWaitForever, &status);
        finished = true;
    }
};

TEST(engine_os, ThreadStartsAndStopWaitsForTheBody) {
    BlockingThread thread;
    std::uint32_t status = 0x543FF;
    thread.Start(8, &status);
    ASSERT_EQ(status, 0u);
    EXPECT_EQ(thread.GetState(), 1u);
    EXPECT_EQ(thread.GetPriority(), 8u);
    EXPECT_FALSE(thread.IsCurrentThread());

    thread.Start(8, &status);
    EXPECT_EQ(status, 8u);  // started already

    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        thread.release.Post();
    });
    thread.Stop(&status);
    EXPECT_EQ(status, 0u);
    EXPECT_TRUE(thread.finished.load());
    EXPECT_EQ(thread.name, "ZO-Zevodo");
    releaser.join();
}

class SilentThread : public COSThread {
public:
    bool reportStart = false;

protected:
    void Run() override {
        if (reportStart) {
            NotifyStarted();  // without state 1
        }
    }
};

TEST(engine_os, StartReports8WhenTheBodyNeverReachesState1) {
    SilentThread returns;  // returns without posting: Start must not hang
    std::uint32_t status = 0x543FF;
    returns.Start(15, &status);
    EXPECT_EQ(status, 8u);

    SilentThread posts;
    posts.reportStart = true;
    posts.Start(15, &status);
    EXPECT_EQ(status, 8u);
}

class SelfStoppingThread : public COSThread {
public:
    std::atomic<std::uint32_t> stopStatus{0x543FF};

protected:
    void Run() override {
        SetState(1);
        NotifyStarted();
        std::uint32_t status = 0x543FF;
        Stop(&status);
        stopStatus = status;
    }
};

TEST(engine_os, StopOnItsOwnThreadReports8WithoutWaiting) {
    SelfStoppingThread thread;
    std::uint32_t status = 0x543FF;
    thread.Start(15, &status);
    ASSERT_EQ(status, 0u);
    thread.Stop(&status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(thread.stopStatus.load(), 8u);
}

// ---- sockets ---------------------------------------------------------------------------------

struct Connection {
    COSSocket listener;
    COSSocket client;
    COSSocket server;

    void Open() {
        std::uint32_t status = 0x543FF;
        listener.CreateTcp(&status);
        ASSERT_EQ(status, 0u);
        listener.Listen(kLoopback, 0, &status);
        ASSERT_EQ(status, 0u);
        ASSERT_NE(listener.LocalPort(), 0u);
        client.CreateTcp(&status);
        ASSERT_EQ(status, 0u);
        client.Connect(kLoopback, listener.LocalPort(), &status);
        ASSERT_EQ(status, 0u);
        server.Accept(listener, &status);
        ASSERT_EQ(status, 0u);
    }
};

TEST(engine_os, TcpRoundTripFillsAddresses) {
    Connection c;
    ASSERT_NO_FATAL_FAILURE(c.Open());
    EXPECT_EQ(c.server.PeerAddress(), kLoopback);
    EXPECT_EQ(c.server.PeerPort(), c.client.LocalPort());
    EXPECT_EQ(c.server.LocalPort(), c.listener.LocalPort());
    EXPECT_EQ(c.client.PeerPort(), c.listener.LocalPort());

    std::uint32_t status = 0x543FF;
    EXPECT_EQ(c.client.Send("hello", 5, &status), 5u);
    EXPECT_EQ(status, 0u);
    char data[16] = {};
    EXPECT_EQ(c.server.Receive(data, sizeof(data), &status), 5u);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(std::string(data, 5), "hello");

    COSSocket busy;
    busy.CreateTcp(&status);
    busy.Accept(c.listener, &status);  // an open record is not overwritten
    EXPECT_EQ(status, 7u);
}

TEST(engine_os, SendAfterPeerCloseReports7AndTheProcessLives) {
    Connection c;
    ASSERT_NO_FATAL_FAILURE(c.Open());
    c.server.Close();
    std::uint32_t status = 0;
    for (int attempt = 0; attempt < 30000 && status == 0; ++attempt) {
        c.client.Send("x", 1, &status);
        if (status == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    EXPECT_EQ(status, 7u);
    char byte = 0;
    EXPECT_EQ(c.client.Receive(&byte, 1, &status), 0u);
    EXPECT_EQ(status, 7u);
}

TEST(engine_os, InterruptWakesAcceptAndReceive) {
    Connection c;
    ASSERT_NO_FATAL_FAILURE(c.Open());

    std::atomic<std::uint32_t> acceptStatus{0x543FF};
    std::thread acceptor([&] {
        COSSocket next;
        std::uint32_t status = 0x543FF;
        next.Accept(c.listener, &status);
        acceptStatus = status;
        EXPECT_FALSE(next.IsOpen());
    });
    std::atomic<std::uint32_t> receiveStatus{0x543FF};
    std::thread receiver([&] {
        char data[4];
        std::uint32_t status = 0x543FF;
        c.server.Receive(data, sizeof(data), &status);
        receiveStatus = status;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    c.listener.Interrupt();
    c.server.Interrupt();
    acceptor.join();
    receiver.join();
    EXPECT_EQ(acceptStatus.load(), 7u);
    EXPECT_EQ(receiveStatus.load(), 7u);
    EXPECT_TRUE(c.listener.IsOpen());  // the owner closes after the join
    c.listener.Close();
    c.server.Close();
}

TEST(engine_os, ConnectToAClosedPortReports6) {
    COSSocket probe;
    std::uint32_t status = 0x543FF;
    probe.CreateTcp(&status);
    probe.Listen(kLoopback, 0, &status);
    const std::uint16_t port = probe.LocalPort();
    probe.Close();

    COSSocket client;
    client.CreateTcp(&status);
    client.Connect(kLoopback, port, &status);
    EXPECT_EQ(status, 6u);
}

TEST(engine_os, UdpReceiveFromTimesOutAndIsInterrupted) {
    COSSocket a;
    COSSocket b;
    std::uint32_t status = 0x543FF;
    a.CreateUdp(&status);
    a.Bind(kLoopback, 0, &status);
    ASSERT_EQ(status, 0u);
    b.CreateUdp(&status);
    b.Bind(kLoopback, 0, &status);
    ASSERT_EQ(status, 0u);

    char data[8] = {};
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    const auto start = Clock::now();
    EXPECT_EQ(a.ReceiveFrom(data, sizeof(data), 30, &address, &port, &status), 0u);
    EXPECT_EQ(status, 6u);
    EXPECT_GE(MsSince(start), 29.0);

    b.SendTo("ping", 4, kLoopback, a.LocalPort(), &status);
    ASSERT_EQ(status, 0u);
    EXPECT_EQ(a.ReceiveFrom(data, sizeof(data), COSSocket::kWaitForever, &address, &port, &status),
              4u);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(address, kLoopback);
    EXPECT_EQ(port, b.LocalPort());

    std::atomic<std::uint32_t> waitStatus{0x543FF};
    std::thread waiter([&] {
        char buffer[8];
        std::uint32_t s = 0x543FF;
        a.ReceiveFrom(buffer, sizeof(buffer), COSSocket::kWaitForever, nullptr, nullptr, &s);
        waitStatus = s;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    a.Interrupt();
    waiter.join();
    EXPECT_EQ(waitStatus.load(), 7u);
}

TEST(engine_os, CloseTwiceDoesNothingTheSecondTime) {
    COSSocket socket;
    std::uint32_t status = 0x543FF;
    socket.CreateTcp(&status);
    ASSERT_TRUE(socket.IsOpen());
    socket.CreateTcp(&status);
    EXPECT_EQ(status, 7u);  // would lose the open descriptor
    socket.Close();
    EXPECT_EQ(socket.Descriptor(), -1);
    socket.Close();
    EXPECT_EQ(socket.Descriptor(), -1);
    socket.Send("x", 1, &status);
    EXPECT_EQ(status, 7u);
}

// ---- USB interrupt device ----------------------------------------------------------------------

constexpr std::uint32_t kUsbVector = 25;

class IsrHandler : public COSInterruptHandler {
public:
    std::atomic<std::uint32_t> answer{1};
    std::atomic<int> calls{0};
    std::atomic<bool> onInterruptThread{false};

    std::uint32_t HandleInterrupt(std::uint32_t) override {
        ++calls;
        onInterruptThread = irq::on_interrupt_thread();
        return answer.load();
    }
};

class ServiceHandler : public COSInterruptHandler {
public:
    COSEvent served{0, 100};
    std::atomic<int> calls{0};
    std::atomic<std::uint32_t> vector{0};
    std::atomic<bool> onHandlerThread{false};
    std::string threadName;
    COSUsbDevice* device = nullptr;

    std::uint32_t HandleInterrupt(std::uint32_t v) override {
        vector = v;
        onHandlerThread = device->IsHandlerThread();
        threadName = CurrentThreadName();
        ++calls;
        served.Post();
        return 0;
    }
};

struct UsbFixture {
    std::uint32_t status = 0x543FF;
    COSUsbDevice device{&status};
    IsrHandler isr;
    ServiceHandler service;

    UsbFixture() {
        ResetVector();
        service.device = &device;
        const std::uint32_t vectors[] = {kUsbVector, 0};
        device.AttachInterrupts(vectors, &status);
        device.RegisterHandlers(&isr, &service);
    }

    ~UsbFixture() {
        device.UnregisterHandlers();  // waits for a running service call
        ResetVector();
    }

    // The vector's state outlives the device (it is the controller's).
    static void ResetVector() {
        irq::interrupt_mask(kUsbVector);
        irq::interrupt_acknowledge(kUsbVector);
    }

    bool Served(std::uint32_t timeoutMs = 30000) {
        std::uint32_t s = 0;
        service.served.Wait(timeoutMs, &s);
        return s == 0;
    }
};

TEST(engine_os, UsbRaiseRunsIsrOnTheInterruptThreadAndServiceOnTheHandlerThread) {
    UsbFixture f;
    ASSERT_EQ(f.status, 0u);
    irq::interrupt_unmask(kUsbVector);
    irq::raise(kUsbVector);
    irq::settle();  // the interrupt thread takes it
    EXPECT_EQ(f.isr.calls.load(), 1);
    EXPECT_TRUE(f.isr.onInterruptThread.load());
    ASSERT_TRUE(f.Served());
    EXPECT_EQ(f.service.vector.load(), kUsbVector);
    EXPECT_TRUE(f.service.onHandlerThread.load());
    EXPECT_EQ(f.service.threadName, "USB Interrupt H");
    EXPECT_EQ(f.device.LastVector(), kUsbVector);

    // An ISR that does not claim the interrupt wakes nobody.
    f.isr.answer = 0;
    irq::raise(kUsbVector);
    irq::settle();  // the interrupt thread takes it
    EXPECT_EQ(f.isr.calls.load(), 2);
    EXPECT_FALSE(f.Served(30));

    // Wake runs the service handler once per post.
    f.device.Wake();
    f.device.Wake();
    EXPECT_TRUE(f.Served());
    EXPECT_TRUE(f.Served());
    EXPECT_EQ(f.service.calls.load(), 3);
    EXPECT_EQ(f.device.RegisterHandlers(&f.isr, &f.service), 8u);
}

TEST(engine_os, UsbMaskedVectorStaysPendingUntilUnmasked) {
    UsbFixture f;
    ASSERT_EQ(f.status, 0u);
    EXPECT_TRUE(irq::interrupt_masked(kUsbVector));
    irq::raise(kUsbVector);
    irq::settle();  // the interrupt thread takes it
    EXPECT_EQ(f.isr.calls.load(), 0);
    EXPECT_TRUE(irq::interrupt_pending(kUsbVector));
    irq::interrupt_unmask(kUsbVector);
    EXPECT_EQ(f.isr.calls.load(), 1);
    EXPECT_FALSE(irq::interrupt_pending(kUsbVector));
    EXPECT_TRUE(f.Served());

    // Raised with the interrupt lock held: delivered when the lock is released.
    irq::disable_interrupts();
    irq::raise(kUsbVector);
    irq::settle();  // the interrupt thread takes it
    EXPECT_EQ(f.isr.calls.load(), 1);
    irq::enable_interrupts();
    EXPECT_EQ(f.isr.calls.load(), 2);

    // An acknowledged pending interrupt is gone.
    irq::interrupt_mask(kUsbVector);
    irq::raise(kUsbVector);
    irq::settle();  // the interrupt thread takes it
    irq::interrupt_acknowledge(kUsbVector);
    irq::interrupt_unmask(kUsbVector);
    EXPECT_EQ(f.isr.calls.load(), 2);
}

TEST(engine_os, UsbDsrCallbackIsOneShot) {
    UsbFixture f;
    irq::interrupt_unmask(kUsbVector);
    static std::atomic<int> callbacks;
    callbacks = 0;
    f.device.SetDsrCallback([](void*) { ++callbacks; }, nullptr);
    irq::raise(kUsbVector);
    irq::settle();  // the interrupt thread takes it
    EXPECT_EQ(callbacks.load(), 1);
    EXPECT_FALSE(f.Served(30));
    irq::raise(kUsbVector);
    irq::settle();  // the interrupt thread takes it
    EXPECT_EQ(callbacks.load(), 1);
    EXPECT_TRUE(f.Served());
}

TEST(engine_os, UsbAttachRollsBackOnFailure) {
    std::uint32_t status = 0x543FF;
    COSUsbDevice device(&status);
    ASSERT_EQ(status, 0u);

    irq::Interrupt other;
    irq::interrupt_create(26, 0, 0, nullptr, nullptr, &other);
    ASSERT_TRUE(irq::interrupt_attach(&other));
    const std::int64_t live = EngineLiveBlocks();
    const std::uint32_t taken[] = {kUsbVector, 26, 0};
    device.AttachInterrupts(taken, &status);
    EXPECT_EQ(status, 5u);
    EXPECT_EQ(EngineLiveBlocks(), live);
    irq::interrupt_delete(&other);

    const std::uint32_t two[] = {kUsbVector, 27, 0};
    EngineFailAllocation(2);
    device.AttachInterrupts(two, &status);
    EXPECT_EQ(status, 5u);
    EXPECT_EQ(EngineLiveBlocks(), live);

    // Vector 25 was given back both times.
    irq::Interrupt probe;
    irq::interrupt_create(kUsbVector, 0, 0, nullptr, nullptr, &probe);
    EXPECT_TRUE(irq::interrupt_attach(&probe));
    irq::interrupt_delete(&probe);

    device.AttachInterrupts(nullptr, &status);
    EXPECT_EQ(status, 5u);
    device.AttachInterrupts(two, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(EngineLiveBlocks(), live + 2);
}

TEST(engine_os, UsbDeviceStopsItsThreadAndDetaches) {
    {
        UsbFixture f;
        irq::interrupt_unmask(kUsbVector);
        irq::raise(kUsbVector);
        irq::settle();  // the interrupt thread takes it
        EXPECT_TRUE(f.Served());
    }  // joins the handler thread
    irq::raise(kUsbVector);  // nothing attached any more
    EXPECT_TRUE(irq::interrupt_pending(kUsbVector));
    irq::interrupt_acknowledge(kUsbVector);

    COSUsbDeviceManager manager;
    ASSERT_EQ(manager.InitFailed(), 0u);
    COSUsbDevice* first = nullptr;
    COSUsbDevice* second = nullptr;
    EXPECT_EQ(manager.CreateDevice(80, &first), 0u);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(manager.CreateDevice(0, &second), 2u);
    EXPECT_EQ(second, nullptr);
    manager.DestroyObject(first);
    EngineFailAllocation(1);
    EXPECT_EQ(manager.CreateDevice(0, &second), 4u);
    EXPECT_EQ(manager.CreateDevice(0, &second), 0u);
    manager.DestroyObject(second);
}

}  // namespace
