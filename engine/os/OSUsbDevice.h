// The USB interrupt device: the engine's two-stage interrupt service of the USB device
// controller. In interrupt context (ISR) the registered interrupt handler decides whether the
// interrupt is the controller's (answer 1: it has masked the controller's interrupts); the
// DSR then posts the wake semaphore, and the "USB Interrupt Handler" thread calls the
// registered service handler once per post.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "engine/os/OSEvent.h"
#include "platform/irq/Interrupt.h"

// Base of the engine's device objects.
class COSDevice {
public:
    virtual ~COSDevice() = default;
};

// One handler of interrupt vectors.
class COSInterruptHandler {
public:
    virtual ~COSInterruptHandler() = default;
    // In interrupt context: 1 when the thread must run. On the thread: the result is unused.
    virtual std::uint32_t HandleInterrupt(std::uint32_t vector) = 0;
};

class COSUsbDevice : public COSDevice {
public:
    static constexpr const char* kThreadName = "USB Interrupt Handler";
    static constexpr int kThreadPriority = 7;
    static constexpr int kInterruptPriority = 3;

    // Starts the "USB Interrupt Handler" thread; status 0, or 5 when it cannot be made.
    explicit COSUsbDevice(std::uint32_t* status);
    // Detaches every interrupt object, stops and joins the thread.
    ~COSUsbDevice() override;
    COSUsbDevice(const COSUsbDevice&) = delete;
    COSUsbDevice& operator=(const COSUsbDevice&) = delete;

    // Attaches one interrupt object per vector of the zero-terminated list. When one cannot be
    // allocated or attached, every object attached by this call is detached and deleted again
    // and the status is 5.
    void AttachInterrupts(const std::uint32_t* vectors, std::uint32_t* status);
    // Detaches and deletes every attached interrupt object.
    void DetachInterrupts();

    // Registers the interrupt-context handler and the thread's service handler (either may
    // be null). Returns 0, or 8 when handlers are registered already.
    std::uint32_t RegisterHandlers(COSInterruptHandler* interruptHandler,
                                   COSInterruptHandler* serviceHandler);
    // Forgets both handlers; returns once no handler call is running (except when called from
    // inside a handler on the thread).
    void UnregisterHandlers();

    // One-shot DSR callback: the next DSR calls it instead of waking the thread, then forgets it.
    void SetDsrCallback(void (*callback)(void* argument), void* argument);
    void ClearDsrCallback();

    // Posts the wake semaphore: the thread runs the service handler once more.
    void Wake();

    std::uint32_t LastVector() const { return lastVector.load(); }
    bool IsHandlerThread() const;

private:
    struct InterruptNode {
        irq::Interrupt object;
        InterruptNode* next;
    };

    static std::uint32_t Isr(irq::vector_t vector, irq::data_t data);
    static void Dsr(irq::vector_t vector, std::uint32_t count, irq::data_t data);
    static void* ThreadEntry(void* object);
    void ThreadBody();

    InterruptNode* interrupts;  // guarded by the interrupt lock
    COSInterruptHandler* interruptHandler;  // read in interrupt context
    COSInterruptHandler* serviceHandler;    // guarded by handlerMutex
    void (*dsrCallback)(void*);
    void* dsrArgument;
    std::atomic<std::uint32_t> lastVector;
    COSEvent wakeSemaphore;
    pthread_mutex_t handlerMutex;
    pthread_t thread;
    bool threadCreated;
    std::atomic<bool> stopping;
};

// Maker of the one USB device object.
class COSUsbDeviceManager {
public:
    COSUsbDeviceManager();
    virtual ~COSUsbDeviceManager();
    COSUsbDeviceManager(const COSUsbDeviceManager&) = delete;
    COSUsbDeviceManager& operator=(const COSUsbDeviceManager&) = delete;

    std::uint8_t InitFailed() const { return initFailed; }

    // Makes the device object into *device (there is one USB device controller, so one
    // device object at a time). Returns 0; 2 when a device object still exists after waiting
    // timeoutMs (COSEvent::Wait rules) for it to go; 4 when memory runs out; 5 when its
    // thread cannot be made.
    std::uint32_t CreateDevice(std::uint32_t timeoutMs, COSUsbDevice** device);
    // Destroys a device object of CreateDevice; null does nothing.
    void DestroyObject(COSUsbDevice* device);

private:
    std::uint8_t initFailed;
};
