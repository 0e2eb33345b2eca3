// The block's lock guards registers, inputs and the external-interrupt state. The interrupt
// controller is driven under it (raise/set_level never wait); listeners and the board-action
// sink are called after it is released, in the order the changes happened on this thread.
#include "platform/gpio/Gpio.h"

#include <mutex>
#include <vector>

#include "platform/irq/Interrupt.h"
#include "platform/soc/BoardActions.h"
#include "platform/soc/SocBus.h"

namespace platform::gpio {

namespace {

constexpr unsigned kPinCount[kPorts] = {23, 11, 16, 16, 16, 8, 16, 11};
constexpr unsigned kEintLines = 24;
constexpr irq::vector_t kEint4To7Vector = 4;
constexpr irq::vector_t kEint8To23Vector = 5;
constexpr std::uint32_t kEint4To7Bits = 0xF0;
constexpr std::uint32_t kEint8To23Bits = 0xFFFF00;

struct PortRegisters {
    std::uint32_t con, dat, up;
};

// The board's own set-up, as the boot monitor leaves it.
constexpr PortRegisters kHandOver[kPorts] = {
    {0x7FFFFF, 0, 0},       {0x80, 0, 0x7FF},        {0, 0, 0xFFFF},     {0, 0, 0xFFFF},
    {0xA0950154, 0x18, 0xFFFF}, {0x802A, 0, 0xFF}, {0x51, 0x0D, 0xFFFF}, {0x2ACAAA, 0, 0x7FF},
};
constexpr std::uint32_t kHandOverExtint0 = 0x60000040;  // EINT1 rising, EINT7 both edges
constexpr std::uint32_t kResetEintMask = 0x00FFFFF0;

struct Listener {
    Port port;
    unsigned pin;
    PinListener call;
    void* context;
};

struct Change {
    Port port;
    unsigned pin;
    bool high;
};

class Block : public soc::RegisterModel {
public:
    Block() {
        inputs[unsigned(Port::F)] = (1u << kDspInterruptPin) | (1u << kTempAlarmPin) |
                                    (1u << kButtonPin);
        inputs[unsigned(Port::B)] = 1u << kPeripheralStartPin;
        Load(kHandOver, kHandOverExtint0);
    }

    std::uint32_t read(soc::addr_t address, unsigned /*width*/) override {
        std::lock_guard<std::mutex> g(lock);
        const std::uint32_t offset = address - kGpioBase;
        if (offset < 0x80) {
            const unsigned port = offset / 0x10;
            switch (offset % 0x10) {
                case 0:
                    return ports[port].con;
                case 4:
                    return Levels(port);
                case 8:
                    return ports[port].up;
                default:
                    return 0;
            }
        }
        switch (address) {
            case EXTINT0:
                return extint[0];
            case EXTINT1:
                return extint[1];
            case EXTINT2:
                return extint[2];
            case EINTMASK:
                return eintmask;
            case EINTPEND:
                return eintpend;
            default:
                return other[(offset - 0x80) / 4];
        }
    }

    void write(soc::addr_t address, std::uint32_t value, unsigned /*width*/) override {
        Mutate([&] {
            const std::uint32_t offset = address - kGpioBase;
            if (offset < 0x80) {
                const unsigned port = offset / 0x10;
                switch (offset % 0x10) {
                    case 0:
                        ports[port].con = value;
                        break;
                    case 4:
                        ports[port].dat = value;
                        break;
                    case 8:
                        ports[port].up = value;
                        break;
                    default:
                        break;
                }
            } else if (address == EXTINT0 || address == EXTINT1 || address == EXTINT2) {
                extint[(address - EXTINT0) / 4] = value;
            } else if (address == EINTMASK) {
                eintmask = value & 0xFFFFF0;
            } else if (address == EINTPEND) {
                eintpend &= ~(value & 0xFFFFF0);
            } else {
                other[(offset - 0x80) / 4] = value;
            }
        });
    }

    void SetOutput(Port port, unsigned pin, bool high) {
        Mutate([&] { SetBit(&ports[unsigned(port)].dat, pin, high); });
    }

    void SetInput(Port port, unsigned pin, bool high) {
        Mutate([&] { SetBit(&inputs[unsigned(port)], pin, high); });
    }

    bool Input(Port port, unsigned pin) {
        std::lock_guard<std::mutex> g(lock);
        return (inputs[unsigned(port)] >> pin) & 1;
    }

    bool Level(Port port, unsigned pin) {
        std::lock_guard<std::mutex> g(lock);
        return (Levels(unsigned(port)) >> pin) & 1;
    }

    PinFunction Function(Port port, unsigned pin) {
        std::lock_guard<std::mutex> g(lock);
        return FunctionOf(unsigned(port), pin);
    }

    void AddListener(const Listener& listener) {
        std::lock_guard<std::mutex> g(lock);
        listeners.push_back(listener);
    }

    void RemoveListener(const Listener& listener) {
        std::lock_guard<std::mutex> g(lock);
        for (auto it = listeners.begin(); it != listeners.end(); ++it) {
            if (it->port == listener.port && it->pin == listener.pin &&
                it->call == listener.call && it->context == listener.context) {
                listeners.erase(it);
                return;
            }
        }
    }

    void Reset(const PortRegisters (&values)[kPorts], std::uint32_t extint0) {
        Mutate([&] { Load(values, extint0); });
    }

private:
    static void SetBit(std::uint32_t* word, unsigned pin, bool high) {
        *word = high ? (*word | (1u << pin)) : (*word & ~(1u << pin));
    }

    // Runs the change under the lock, drives the interrupt lines, then tells the listeners.
    template <typename Change_>
    void Mutate(Change_&& change) {
        std::vector<Change> changes;
        {
            std::lock_guard<std::mutex> g(lock);
            std::uint32_t before[kPorts];
            for (unsigned p = 0; p < kPorts; ++p) before[p] = Levels(p);
            change();
            Collect(before, &changes);
            UpdateEint();
        }
        Notify(changes);
    }

    void Load(const PortRegisters (&values)[kPorts], std::uint32_t extint0) {
        for (unsigned p = 0; p < kPorts; ++p) ports[p] = values[p];
        extint[0] = extint0;
        extint[1] = 0;
        extint[2] = 0;
        eintmask = kResetEintMask;
        eintpend = 0;
        for (unsigned line = 0; line < kEintLines; ++line) lineLevel[line] = LineInput(line);
    }

    PinFunction FunctionOf(unsigned port, unsigned pin) const {
        if (port == 0) return (ports[0].con >> pin) & 1 ? Function2 : Output;
        return static_cast<PinFunction>((ports[port].con >> (2 * pin)) & 3);
    }

    std::uint32_t Levels(unsigned port) const {
        std::uint32_t levels = 0;
        for (unsigned pin = 0; pin < kPinCount[port]; ++pin) {
            const std::uint32_t source = FunctionOf(port, pin) == Output ? ports[port].dat
                                                                          : inputs[port];
            levels |= source & (1u << pin);
        }
        return levels;
    }

    // The pin of an EINT line and whether it is configured as that line.
    bool LineActive(unsigned line) const {
        return line < 8 ? FunctionOf(unsigned(Port::F), line) == Function2
                        : FunctionOf(unsigned(Port::G), line - 8) == Function2;
    }
    bool LineInput(unsigned line) const {
        return line < 8 ? (inputs[unsigned(Port::F)] >> line) & 1
                        : (inputs[unsigned(Port::G)] >> (line - 8)) & 1;
    }
    unsigned TriggerCode(unsigned line) const { return (extint[line / 8] >> (4 * (line % 8))) & 7; }

    // Edges and levels of every line, EINTPEND, and the interrupt vectors they drive.
    void UpdateEint() {
        for (unsigned line = 0; line < kEintLines; ++line) {
            const bool active = LineActive(line);
            const bool now = LineInput(line);
            const bool before = lineLevel[line];
            lineLevel[line] = now;
            const unsigned code = TriggerCode(line);
            const bool levelCode = code <= 1;
            const bool asserted = active && levelCode && now == (code == 1);
            bool edge = false;
            if (active && !levelCode && now != before) {
                edge = code >= 6 || (code >= 4 ? now : !now);
            }
            if (line < 4) {
                irq::set_level(line, asserted);
                if (edge) irq::raise(line);
            } else if (asserted || edge) {
                eintpend |= 1u << line;
            }
        }
        irq::set_level(kEint4To7Vector, (eintpend & ~eintmask & kEint4To7Bits) != 0);
        irq::set_level(kEint8To23Vector, (eintpend & ~eintmask & kEint8To23Bits) != 0);
    }

    void Collect(const std::uint32_t (&before)[kPorts], std::vector<Change>* changes) const {
        for (unsigned p = 0; p < kPorts; ++p) {
            const std::uint32_t after = Levels(p);
            const std::uint32_t diff = after ^ before[p];
            for (unsigned pin = 0; pin < kPinCount[p]; ++pin) {
                if ((diff >> pin) & 1) {
                    changes->push_back({static_cast<Port>(p), pin, ((after >> pin) & 1) != 0});
                }
            }
        }
    }

    void Notify(const std::vector<Change>& changes) {
        for (const Change& change : changes) {
            std::vector<Listener> calls;
            bool powerOff = false;
            {
                std::lock_guard<std::mutex> g(lock);
                for (const Listener& l : listeners)
                    if (l.port == change.port && l.pin == change.pin) calls.push_back(l);
                powerOff = change.port == Port::G && change.pin == kPowerHoldPin && !change.high &&
                           FunctionOf(unsigned(Port::G), kPowerHoldPin) == Output;
            }
            for (const Listener& l : calls) l.call(change.pin, change.high, l.context);
            if (powerOff) soc::board_action(soc::BoardAction::PowerOff);
        }
    }

    std::mutex lock;
    PortRegisters ports[kPorts]{};
    std::uint32_t inputs[kPorts]{};
    std::uint32_t extint[3]{};
    std::uint32_t eintmask = kResetEintMask;
    std::uint32_t eintpend = 0;
    std::uint32_t other[(kGpioSize - 0x80) / 4]{};
    bool lineLevel[kEintLines]{};
    std::vector<Listener> listeners;
};

Block& TheBlock() {
    static Block* block = new Block;
    return *block;
}

bool ValidPin(Port port, unsigned pin) {
    return unsigned(port) < kPorts && pin < kPinCount[unsigned(port)];
}

constexpr PortRegisters kChipReset[kPorts] = {
    {0x7FFFFF, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0},
    {0, 0, 0},        {0, 0, 0}, {0, 0, 0}, {0, 0, 0},
};

}  // namespace

void set_output(Port port, unsigned pin, bool high) {
    if (ValidPin(port, pin)) TheBlock().SetOutput(port, pin, high);
}

void set_input(Port port, unsigned pin, bool high) {
    if (ValidPin(port, pin)) TheBlock().SetInput(port, pin, high);
}

bool input(Port port, unsigned pin) { return ValidPin(port, pin) && TheBlock().Input(port, pin); }

bool pin_level(Port port, unsigned pin) {
    return ValidPin(port, pin) && TheBlock().Level(port, pin);
}

PinFunction pin_function(Port port, unsigned pin) {
    return ValidPin(port, pin) ? TheBlock().Function(port, pin) : Input;
}

void add_listener(Port port, unsigned pin, PinListener listener, void* context) {
    if (ValidPin(port, pin) && listener != nullptr)
        TheBlock().AddListener({port, pin, listener, context});
}

void remove_listener(Port port, unsigned pin, PinListener listener, void* context) {
    TheBlock().RemoveListener({port, pin, listener, context});
}

void power_on() { TheBlock().Reset(kHandOver, kHandOverExtint0); }

void chip_reset() { TheBlock().Reset(kChipReset, 0); }

soc::RegisterModel& register_model() { return TheBlock(); }

}  // namespace platform::gpio
