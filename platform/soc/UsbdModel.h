// USB device block of the simulated SoC (0x52000140-0x520001D3): the function address, power,
// interrupt, index, per-endpoint CSR and FIFO registers of endpoints 0-4, and the bus side
// a simulated host drives (SETUP, IN and OUT transactions, bus reset, suspend, resume).
//
// Firmware side. Every register access must come with the interrupt-disable lock held (as
// the driver masks IRQ and FIQ); one that does not counts as a violation, and so do a FIFO
// write while the endpoint's IN_PKT_RDY is set or past its maximum packet, and a FIFO read
// past the bytes waiting. Tests assert the violation counter is 0.
//  - EP0_CSR: writing 0x40 releases the OUT packet (SETUP or data), 0x80 clears SETUP_END,
//    0x02/0x08 set IN_PKT_RDY/DATA_END, 0x20 stalls until the next SETUP, a 0 in bit 2 clears
//    SENT_STALL.
//  - IN_CSR1 / OUT_CSR1: SEND_STALL is a level; a 0 in SENT_STALL clears it; IN_PKT_RDY
//    clears when the host takes the packet; a 0 written to OUT_PKT_RDY releases the packet;
//    FIFO_FLUSH empties the FIFO and reads 1 for the next N reads (set_flush_reads);
//    CLR_DATA_TOGGLE sets DATA0.
//  - EP_INT_REG and USB_INT_REG bits clear on a written 1. FUNC_ADDR_REG takes effect after
//    the status stage of the current control transfer. PWR_REG bit 3 reads 1 on the first two
//    reads after a bus reset.
//  - A bus reset sets address 0, clears CSRs, FIFOs and toggles, MAXP 1 (8 bytes),
//    EP_INT_EN_REG 0x1F and USB_INT_EN_REG 0x04, and raises USB_INT bit 2.
//  - Vector 25's level is (EP_INT & EP_INT_EN) | (USB_INT & USB_INT_EN).
//
// Bus side. The host takes the interrupt-disable lock for each transaction (the lock comes
// before the model's own). Without the D+ pull-up (GPE9 high) the device does not answer.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/soc/SocBus.h"

namespace platform::soc {

constexpr addr_t kUsbdBase = 0x52000140;
constexpr std::uint32_t kUsbdSize = 0x94;
constexpr addr_t FUNC_ADDR_REG = 0x52000140;
constexpr addr_t PWR_REG = 0x52000144;
constexpr addr_t EP_INT_REG = 0x52000148;
constexpr addr_t USB_INT_REG = 0x52000158;
constexpr addr_t EP_INT_EN_REG = 0x5200015C;
constexpr addr_t USB_INT_EN_REG = 0x5200016C;
constexpr addr_t INDEX_REG = 0x52000178;
constexpr addr_t MAXP_REG = 0x52000180;
constexpr addr_t EP0_CSR = 0x52000184;
constexpr addr_t IN_CSR1_REG = 0x52000184;
constexpr addr_t IN_CSR2_REG = 0x52000188;
constexpr addr_t OUT_CSR1_REG = 0x52000190;
constexpr addr_t OUT_CSR2_REG = 0x52000194;
constexpr addr_t OUT_FIFO_CNT1_REG = 0x52000198;
constexpr addr_t EP0_FIFO_REG = 0x520001C0;
constexpr addr_t GPEDAT = 0x56000044;

// EP0_CSR bits.
constexpr std::uint32_t kEp0OutPktRdy = 0x01;
constexpr std::uint32_t kEp0InPktRdy = 0x02;
constexpr std::uint32_t kEp0SentStall = 0x04;
constexpr std::uint32_t kEp0DataEnd = 0x08;
constexpr std::uint32_t kEp0SetupEnd = 0x10;
constexpr std::uint32_t kEp0SendStall = 0x20;
constexpr std::uint32_t kEp0ServicedOut = 0x40;
constexpr std::uint32_t kEp0ServicedSetupEnd = 0x80;
// IN_CSR1_REG bits.
constexpr std::uint32_t kInPktRdy = 0x01;
constexpr std::uint32_t kInFlush = 0x08;
constexpr std::uint32_t kInSendStall = 0x10;
constexpr std::uint32_t kInSentStall = 0x20;
constexpr std::uint32_t kInClrToggle = 0x40;
// OUT_CSR1_REG bits.
constexpr std::uint32_t kOutPktRdy = 0x01;
constexpr std::uint32_t kOutFlush = 0x10;
constexpr std::uint32_t kOutSendStall = 0x20;
constexpr std::uint32_t kOutSentStall = 0x40;
constexpr std::uint32_t kOutClrToggle = 0x80;

constexpr std::uint32_t kUsbdVector = 25;
constexpr unsigned kUsbdPullUpPin = 9;  // GPE9
constexpr unsigned kUsbdEndpoints = 5;

class UsbdModel : public RegisterModel {
public:
    // What a transaction got from the device. Timeout: no device answered (no pull-up, or
    // the token was for another address).
    enum class Handshake { Ack, Nak, Stall, Timeout };

    UsbdModel();

    std::uint32_t read(addr_t address, unsigned width) override;
    void write(addr_t address, std::uint32_t value, unsigned width) override;

    // ---- bus side (the caller holds the interrupt-disable lock) ----
    bool pull_up() const { return pullUp_.load(); }
    // True until the firmware has cleared USB_INT bit 2 after a bus reset.
    bool reset_pending();
    void bus_reset();
    void bus_suspend();
    void bus_resume();
    // SETUP to endpoint 0 of the address: always taken (Ack) by a device that answers.
    Handshake bus_setup(std::uint8_t address, const std::uint8_t setup[8]);
    // IN token: on Ack *data is the packet and *toggle its data toggle.
    Handshake bus_in(std::uint8_t address, unsigned endpoint, std::vector<std::uint8_t>* data,
                     bool* toggle);
    // OUT token with a packet of the given toggle (endpoint 0 ignores toggles).
    Handshake bus_out(std::uint8_t address, unsigned endpoint, const std::uint8_t* data,
                      std::uint32_t length, bool toggle);

    // ---- tests ----
    std::uint32_t violations();
    std::string last_violation();
    void clear_violations();
    // FIFO_FLUSH reads 1 for this many reads after a flush (1 at power-on).
    void set_flush_reads(unsigned reads);
    std::uint8_t address();
    bool suspended();
    // IN_PKT_RDY of an IN endpoint 1-4: a packet waits for the host.
    bool in_packet_ready(unsigned endpoint);
    // Registers at their power-on values (as after a bus reset, with USB_INT clear), the
    // violations and the flush setting kept.
    void power_on();

private:
    struct Endpoint {
        std::uint32_t maxp = 1;
        std::uint32_t inCsr1 = 0;   // EP0_CSR for endpoint 0
        std::uint32_t inCsr2 = 0;
        std::uint32_t outCsr1 = 0;
        std::uint32_t outCsr2 = 0;
        std::vector<std::uint8_t> inFifo;
        std::deque<std::uint8_t> outFifo;
        bool inToggle = false;
        bool outToggle = false;
        unsigned inFlushReads = 0;
        unsigned outFlushReads = 0;
    };

    void violation_locked(const char* what, addr_t address);
    void reset_locked();
    void update_level_locked();
    std::uint32_t read_locked(addr_t address);
    void write_locked(addr_t address, std::uint32_t value);
    void write_ep0_csr_locked(std::uint32_t value);
    void end_control_locked();
    bool answers_locked(std::uint8_t address) const;
    static void pull_up_changed(unsigned pin, bool high, void* context);

    std::mutex lock_;
    std::atomic<bool> pullUp_{false};
    Endpoint ep_[kUsbdEndpoints];
    std::uint32_t funcAddr_ = 0;
    std::uint8_t address_ = 0;
    std::int32_t pendingAddress_ = -1;
    std::uint32_t epInt_ = 0;
    std::uint32_t usbInt_ = 0;
    std::uint32_t epIntEn_ = 0x1F;
    std::uint32_t usbIntEn_ = 0x04;
    std::uint32_t index_ = 0;
    unsigned resetReads_ = 0;
    bool suspended_ = false;
    // Control transfer of endpoint 0: open from SETUP to the end of its status stage.
    bool controlOpen_ = false;
    bool controlIn_ = false;      // device-to-host data stage
    bool dataStageDone_ = false;  // last IN packet (with DATA_END) taken
    bool ep0Stalled_ = false;
    unsigned flushReads_ = 1;
    std::uint32_t violations_ = 0;
    std::string lastViolation_;
};

UsbdModel& usbd();

}  // namespace platform::soc
