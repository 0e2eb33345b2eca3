#include "engine/os/OSUsbDevice.h"

#include "engine/os/Allocator.h"

namespace {

// The device object whose handler thread this is.
thread_local const COSUsbDevice* currentDevice = nullptr;

// One count while no device object of a manager exists.
COSEvent& DeviceSlot() {
    static COSEvent slot(1, 1);
    return slot;
}

// pthread names hold 15 characters.
constexpr char kShortThreadName[] = "USB Interrupt H";

}  // namespace

COSUsbDevice::COSUsbDevice(std::uint32_t* status)
    : interrupts(nullptr),
      interruptHandler(nullptr),
      serviceHandler(nullptr),
      dsrCallback(nullptr),
      dsrArgument(nullptr),
      lastVector(0),
      wakeSemaphore(0, 0xFFFFFFFFu),
      handlerMutex(),
      thread(),
      threadCreated(false),
      stopping(false) {
    pthread_mutex_init(&handlerMutex, nullptr);
    if (wakeSemaphore.InitFailed() != 0 ||
        pthread_create(&thread, nullptr, &COSUsbDevice::ThreadEntry, this) != 0) {
        *status = 5;
        return;
    }
    threadCreated = true;
    *status = 0;
}

COSUsbDevice::~COSUsbDevice() {
    DetachInterrupts();
    if (threadCreated) {
        stopping.store(true);
        wakeSemaphore.Post();
        pthread_join(thread, nullptr);
    }
    pthread_mutex_destroy(&handlerMutex);
}

void COSUsbDevice::AttachInterrupts(const std::uint32_t* vectors, std::uint32_t* status) {
    if (vectors == nullptr) {
        *status = 5;
        return;
    }
    InterruptNode* const before = interrupts;
    for (const std::uint32_t* vector = vectors; *vector != 0; ++vector) {
        InterruptNode* node = EngineNew<InterruptNode>();
        if (node != nullptr) {
            irq::interrupt_create(*vector, kInterruptPriority, reinterpret_cast<irq::data_t>(this),
                                  &COSUsbDevice::Isr, &COSUsbDevice::Dsr, &node->object);
            if (!irq::interrupt_attach(&node->object)) {
                EngineDelete(node);
                node = nullptr;
            }
        }
        if (node == nullptr) {
            while (interrupts != before) {
                InterruptNode* attached = interrupts;
                interrupts = attached->next;
                irq::interrupt_delete(&attached->object);
                EngineDelete(attached);
            }
            *status = 5;
            return;
        }
        node->next = interrupts;
        interrupts = node;
    }
    *status = 0;
}

void COSUsbDevice::DetachInterrupts() {
    while (interrupts != nullptr) {
        InterruptNode* node = interrupts;
        interrupts = node->next;
        irq::interrupt_delete(&node->object);
        EngineDelete(node);
    }
}

std::uint32_t COSUsbDevice::RegisterHandlers(COSInterruptHandler* newInterruptHandler,
                                             COSInterruptHandler* newServiceHandler) {
    const bool onThread = IsHandlerThread();
    if (!onThread) {
        pthread_mutex_lock(&handlerMutex);
    }
    std::uint32_t result = 8;
    {
        irq::InterruptsDisabled lock;
        if (interruptHandler == nullptr && serviceHandler == nullptr) {
            interruptHandler = newInterruptHandler;
            serviceHandler = newServiceHandler;
            result = 0;
        }
    }
    if (!onThread) {
        pthread_mutex_unlock(&handlerMutex);
    }
    return result;
}

void COSUsbDevice::UnregisterHandlers() {
    // On the thread the handler mutex is already held by the running handler call.
    const bool onThread = IsHandlerThread();
    if (!onThread) {
        pthread_mutex_lock(&handlerMutex);
    }
    {
        irq::InterruptsDisabled lock;
        interruptHandler = nullptr;
        serviceHandler = nullptr;
    }
    if (!onThread) {
        pthread_mutex_unlock(&handlerMutex);
    }
}

void COSUsbDevice::SetDsrCallback(void (*callback)(void*), void* argument) {
    irq::InterruptsDisabled lock;
    dsrCallback = callback;
    dsrArgument = argument;
}

void COSUsbDevice::ClearDsrCallback() { SetDsrCallback(nullptr, nullptr); }

void COSUsbDevice::Wake() { wakeSemaphore.Post(); }

bool COSUsbDevice::IsHandlerThread() const { return currentDevice == this; }

std::uint32_t COSUsbDevice::Isr(irq::vector_t vector, irq::data_t data) {
    COSUsbDevice* self = reinterpret_cast<COSUsbDevice*>(data);
    self->lastVector.store(vector);
    if (self->interruptHandler != nullptr && self->interruptHandler->HandleInterrupt(vector) == 1) {
        return irq::ISR_CALL_DSR;
    }
    return irq::ISR_HANDLED;
}

void COSUsbDevice::Dsr(irq::vector_t, std::uint32_t, irq::data_t data) {
    COSUsbDevice* self = reinterpret_cast<COSUsbDevice*>(data);
    if (self->dsrCallback != nullptr) {
        void (*callback)(void*) = self->dsrCallback;
        void* argument = self->dsrArgument;
        self->dsrCallback = nullptr;
        self->dsrArgument = nullptr;
        callback(argument);
        return;
    }
    self->wakeSemaphore.Post();
}

void* COSUsbDevice::ThreadEntry(void* object) {
    COSUsbDevice* self = static_cast<COSUsbDevice*>(object);
    currentDevice = self;
    pthread_setname_np(pthread_self(), kShortThreadName);
    self->ThreadBody();
    return nullptr;
}

void COSUsbDevice::ThreadBody() {
    for (;;) {
        std::uint32_t status = 0;
        wakeSemaphore.Wait(COSEvent::kWaitForever, &status);
        if (status != 0 || stopping.load()) {
            return;
        }
        pthread_mutex_lock(&handlerMutex);
        if (serviceHandler != nullptr) {
            serviceHandler->HandleInterrupt(lastVector.load());
        }
        pthread_mutex_unlock(&handlerMutex);
    }
}

COSUsbDeviceManager::COSUsbDeviceManager() : initFailed(DeviceSlot().InitFailed()) {}

COSUsbDeviceManager::~COSUsbDeviceManager() = default;

std::uint32_t COSUsbDeviceManager::CreateDevice(std::uint32_t timeoutMs, COSUsbDevice** device) {
    *device = nullptr;
    std::uint32_t status = 0;
    DeviceSlot().Wait(timeoutMs, &status);
    if (status != 0) {
        return 2;
    }
    COSUsbDevice* made = EngineNew<COSUsbDevice>(&status);
    if (made == nullptr) {
        DeviceSlot().Post();
        return 4;
    }
    if (status != 0) {
        EngineDelete(made);
        DeviceSlot().Post();
        return 5;
    }
    *device = made;
    return 0;
}

void COSUsbDeviceManager::DestroyObject(COSUsbDevice* device) {
    if (device == nullptr) {
        return;
    }
    EngineDelete(device);
    DeviceSlot().Post();
}
