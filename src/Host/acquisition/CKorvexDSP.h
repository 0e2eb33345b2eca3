// The message link to the signal processor: fixed-length frames exchanged through the
// DSP's host port, the table of message ids with their request and reply lengths, the
// mailboxes in DSP memory, the link state machine and the DSP lock, and the payload
// builders and reply accessors.
//
// There is one DSP, so the link is a set of free functions and globals grouped under the
// name CKorvexDSP. The table part of this header (ids, lengths, names, check word) is
// header-only so that the simulated DSP can use it without the host library.
#pragma once

#include <cstdint>

namespace Korvex {
namespace CKorvexDSP {

// ---- message ids --------------------------------------------------------------------
// Requests 0x10..0xF0 and the low-level requests 0x8010..0x8030; the reply to request X
// is 0x10000 | X; SYSTEM_READY is the DSP's unsolicited start-up message.
enum eDSPMessageId : std::uint32_t {
    PW_DEFAULT_CONFIGURATION = 0x10,
    PW_PROBE_CONNECT = 0x20,
    PW_MEASURE_PARMS = 0x30,
    INITIATE_SEARCH = 0x40,
    GET_SEARCH_RESULT = 0x50,
    INITIATE_TRACKING = 0x60,
    INITIATE_FIXED_MEASUREMENT = 0x70,
    TRIGGER = 0x80,
    GET_PW_MEASUREMENT = 0x90,
    ABORT = 0xA0,
    REQUEST_SIGNAL = 0xB0,
    RELEASE_SIGNAL = 0xC0,
    EXTERNAL_REFERENCE = 0xD0,
    TRIGGER_OUT = 0xE0,
    QUIT = 0xF0,
    LL_SET_FREQUENCY = 0x8010,
    LL_SET_VOLTAGES = 0x8020,
    LL_SET_FIELD_MODULATION = 0x8030,

    SYSTEM_READY = 0x10001,
    PW_DEFAULT_CONFIGURATION_ACK = 0x10010,
    PW_PROBE_CONNECT_ACK = 0x10020,
    PW_MEASURE_PARMS_ACK = 0x10030,
    INITIATE_SEARCH_ACK = 0x10040,
    RETURN_SEARCH_RESULT = 0x10050,
    INITIATE_TRACKING_ACK = 0x10060,
    INITIATE_FIXED_MEASUREMENT_ACK = 0x10070,
    TRIGGER_ACK = 0x10080,
    RETURN_PW_MEASUREMENT = 0x10090,
    ABORT_ACK = 0x100A0,
    RETURN_SIGNAL = 0x100B0,
    RELEASE_SIGNAL_ACK = 0x100C0,
    EXTERNAL_REFERENCE_ACK = 0x100D0,
    RETURN_TRIGGER_OUT = 0x100E0,
    QUIT_ACK = 0x100F0,
    LL_SET_FREQUENCY_ACK = 0x18010,
    LL_SET_VOLTAGES_ACK = 0x18020,
    RETURN_LL_SET_FIELD_MODULATION = 0x18030,
};

constexpr std::uint32_t ReplyIdFlag = 0x10000;
constexpr std::uint32_t ReplyIdOf(std::uint32_t requestId) { return ReplyIdFlag | requestId; }

// ---- mailboxes in DSP address space -------------------------------------------------
constexpr std::uint32_t RequestIdAddress = 0x0000FFE0;    // controller writes
constexpr std::uint32_t ReplyIdAddress = 0x0000FFE4;      // controller reads
constexpr std::uint32_t StatusBlockAddress = 0x0000FFE8;  // four words kept by the DSP
constexpr std::uint32_t RequestFrameAddress = 0x90FF0000;
constexpr std::uint32_t ReplyFrameAddress = 0x90FF8000;

// ---- frames -------------------------------------------------------------------------
// Word 0 id, word 1 sequence number, words 2..n-2 payload (in a reply word 2 is the DSP's
// result word, bit 31 the error flag), word n-1 the check word.
constexpr std::uint32_t MaxFrameBytes = 2632;
constexpr std::uint32_t MaxFrameWords = MaxFrameBytes / 4;
constexpr std::uint32_t MinFrameBytes = 12;
constexpr std::uint32_t ReplyErrorFlag = 0x80000000u;

struct DSPMessageFrame {
    std::uint32_t word[MaxFrameWords];
};

// Four words kept current by the DSP; word 0 is its heartbeat counter.
struct DSPStatusBlock {
    std::uint32_t word[4];
};

// Request length in bytes by request id; 0 for any other id.
constexpr std::uint32_t GetRequestLength(std::uint32_t id)
{
    switch (id) {
    case PW_DEFAULT_CONFIGURATION: return 44;
    case PW_PROBE_CONNECT: return 2632;
    case PW_MEASURE_PARMS: return 120;
    case INITIATE_SEARCH: return 40;
    case GET_SEARCH_RESULT: return 12;
    case INITIATE_TRACKING: return 24;
    case INITIATE_FIXED_MEASUREMENT: return 48;
    case TRIGGER: return 12;
    case GET_PW_MEASUREMENT: return 32;
    case ABORT: return 12;
    case REQUEST_SIGNAL: return 12;
    case RELEASE_SIGNAL: return 12;
    case EXTERNAL_REFERENCE: return 16;
    case TRIGGER_OUT: return 48;
    case QUIT: return 12;
    case LL_SET_FREQUENCY: return 20;
    case LL_SET_VOLTAGES: return 20;
    case LL_SET_FIELD_MODULATION: return 28;
    default: return 0;
    }
}

// Reply length in bytes by reply id; 0 for any other id.
constexpr std::uint32_t GetReplyLength(std::uint32_t id)
{
    switch (id) {
    case SYSTEM_READY: return 36;
    case PW_DEFAULT_CONFIGURATION_ACK: return 20;
    case PW_PROBE_CONNECT_ACK: return 20;
    case PW_MEASURE_PARMS_ACK: return 20;
    case INITIATE_SEARCH_ACK: return 20;
    case RETURN_SEARCH_RESULT: return 32;
    case INITIATE_TRACKING_ACK: return 20;
    case INITIATE_FIXED_MEASUREMENT_ACK: return 20;
    case TRIGGER_ACK: return 20;
    case RETURN_PW_MEASUREMENT: return 64;
    case ABORT_ACK: return 20;
    case RETURN_SIGNAL: return 104;
    case RELEASE_SIGNAL_ACK: return 20;
    case EXTERNAL_REFERENCE_ACK: return 20;
    case RETURN_TRIGGER_OUT: return 24;
    case QUIT_ACK: return 20;
    case LL_SET_FREQUENCY_ACK: return 20;
    case LL_SET_VOLTAGES_ACK: return 20;
    case RETURN_LL_SET_FIELD_MODULATION: return 28;
    default: return 0;
    }
}

// Name of a request id as the log lines print it; nullptr for any other id.
constexpr const char* GetRequestName(std::uint32_t id)
{
    switch (id) {
    case PW_DEFAULT_CONFIGURATION: return "PW_DEFAULT_CONFIGURATION";
    case PW_PROBE_CONNECT: return "PW_PROBE_CONNECT";
    case PW_MEASURE_PARMS: return "PW_MEASURE_PARMS";
    case INITIATE_SEARCH: return "INITIATE_SEARCH";
    case GET_SEARCH_RESULT: return "GET_SEARCH_RESULT";
    case INITIATE_TRACKING: return "INITIATE_TRACKING";
    case INITIATE_FIXED_MEASUREMENT: return "INITIATE_FIXED_MEASUREMENT";
    case TRIGGER: return "TRIGGER";
    case GET_PW_MEASUREMENT: return "GET_PW_MEASUREMENT";
    case ABORT: return "ABORT";
    case REQUEST_SIGNAL: return "REQUEST_SIGNAL";
    case RELEASE_SIGNAL: return "RELEASE_SIGNAL";
    case EXTERNAL_REFERENCE: return "EXTERNAL_REFERENCE";
    case TRIGGER_OUT: return "TRIGGER_OUT";
    case QUIT: return "QUIT";
    case LL_SET_FREQUENCY: return "LL_SET_FREQUENCY";
    case LL_SET_VOLTAGES: return "LL_SET_VOLTAGES";
    case LL_SET_FIELD_MODULATION: return "LL_SET_FIELD_MODULATION";
    default: return nullptr;
    }
}

// Name of a reply id as the log lines print it; nullptr for any other id.
constexpr const char* GetReplyName(std::uint32_t id)
{
    switch (id) {
    case SYSTEM_READY: return "SYSTEM_READY";
    case PW_DEFAULT_CONFIGURATION_ACK: return "PW_DEFAULT_CONFIGURATION_ACK";
    case PW_PROBE_CONNECT_ACK: return "PW_PROBE_CONNECT_ACK";
    case PW_MEASURE_PARMS_ACK: return "PW_MEASURE_PARMS_ACK";
    case INITIATE_SEARCH_ACK: return "INITIATE_SEARCH_ACK";
    case RETURN_SEARCH_RESULT: return "RETURN_SEARCH_RESULT";
    case INITIATE_TRACKING_ACK: return "INITIATE_TRACKING_ACK";
    case INITIATE_FIXED_MEASUREMENT_ACK: return "INITIATE_FIXED_MEASUREMENT_ACK";
    case TRIGGER_ACK: return "TRIGGER_ACK";
    case RETURN_PW_MEASUREMENT: return "RETURN_PW_MEASUREMENT";
    case ABORT_ACK: return "ABORT_ACK";
    case RETURN_SIGNAL: return "RETURN_SIGNAL";
    case RELEASE_SIGNAL_ACK: return "RELEASE_SIGNAL_ACK";
    case EXTERNAL_REFERENCE_ACK: return "EXTERNAL_REFERENCE_ACK";
    case RETURN_TRIGGER_OUT: return "RETURN_TRIGGER_OUT";
    case QUIT_ACK: return "QUIT_ACK";
    case LL_SET_FREQUENCY_ACK: return "LL_SET_FREQUENCY_ACK";
    case LL_SET_VOLTAGES_ACK: return "LL_SET_VOLTAGES_ACK";
    case RETURN_LL_SET_FIELD_MODULATION: return "RETURN_LL_SET_FIELD_MODULATION";
    default: return nullptr;
    }
}

// XOR of the first n-1 words of an n-word frame (0 for n of 0 or 1).
constexpr std::uint32_t ComputeCheckWord(const std::uint32_t* words, std::uint32_t n)
{
    std::uint32_t x = 0;
    for (std::uint32_t i = 0; i + 1 < n; ++i) x ^= words[i];
    return x;
}

// True when the XOR of all n words, check word included, is 0.
constexpr bool IsFrameValid(const std::uint32_t* words, std::uint32_t n)
{
    std::uint32_t x = 0;
    for (std::uint32_t i = 0; i < n; ++i) x ^= words[i];
    return x == 0;
}

// ---- link state machine ---------------------------------------------------------------
enum eLinkState : std::int32_t {
    LinkNotBooted = 0,
    LinkReady = 1,
    LinkAwaitingReply = 2,
};

enum eLinkEvent : std::uint32_t {
    EventSend = 0,
    EventReceive = 1,
};

// ---- link entry points (host side) -----------------------------------------------------
// Takes the DSP lock for the calling thread (unless it holds it) and sends the request.
// 0 written; 47 id outside the table, a builder's refusal or a refused event; 43 not booted.
std::uint32_t SendMessage(std::uint32_t id);
// Reads the reply; the caller holds the DSP lock from the send before. On 0 the reply's
// word 2 goes to resultWord, otherwise 0. Result 0, 39, 40, 41, 43 or 47.
std::uint32_t ReceiveMessage(std::uint32_t expectedId, std::uint32_t& resultWord);
// Ends the calling thread's ownership of the DSP lock, whatever the number of sends before;
// nothing when the caller is not the owner.
void ReleaseDSP();
// Reads the status block, keeps a copy and returns it. Takes no DSP lock.
DSPStatusBlock ReadStatusBlock();
// The copy kept by the last ReadStatusBlock.
DSPStatusBlock GetLastStatusBlock();
// Clears the DSP-to-controller interrupt.
void AckHostInterrupt();
// "/dev/dsp-int"
const char* GetInterruptDeviceName();

// For the program loader: AcquireDSP takes the DSP lock for the calling thread as
// SendMessage does (false when the wait was broken; released with ReleaseDSP);
// SetNotBooted marks the link not booted after the DSP was reset, so that only
// SYSTEM_READY is accepted next. The caller holds the DSP lock.
bool AcquireDSP();
void SetNotBooted();

// Current link state (eLinkState) and sequence counter.
std::int32_t GetLinkState();
std::uint32_t GetSequenceCounter();
// True when the calling thread owns the DSP lock.
bool OwnsDSP();

// The state machine: event 0 send (id), 1 receive (expectedId). Catches its own
// exceptions; never throws.
std::uint32_t FSMDspIf(std::uint32_t event, std::uint32_t id, std::uint32_t expectedId);

// Internal steps. DSPWrite sends the frame built in the send buffer; DSPRead reads and
// checks the reply (0, 39, 40 or 41); BuildAndWriteMessage builds and sends the request.
std::uint32_t DSPWrite();
std::uint32_t DSPRead(std::uint32_t expectedId);
std::uint32_t BuildAndWriteMessage(std::uint32_t id);

// The send and reply buffers (MaxFrameWords words each).
std::uint32_t* SendBuffer();
const std::uint32_t* ReplyBuffer();

// ---- payloads -------------------------------------------------------------------------
// Parameter blocks stored for later requests.
void SetSearchParameters(float& first, float& second, float& third, std::uint32_t mode);
void SetTrackingParameter(std::uint32_t firstHalf, std::uint32_t secondHalf);
void SetTriggerOutFlag(std::uint8_t flag);
// Unit index stored by the last GET_PW_MEASUREMENT build.
std::uint32_t GetSelectedUnitIndex();

// Builders: fill the send buffer and call DSPWrite; 0, or the failure code without writing.
std::uint32_t BuildDefaultConfiguration();
std::uint32_t BuildProbeConnect();
std::uint32_t BuildMeasureParms();
std::uint32_t BuildFixedMeasurement();
std::uint32_t BuildTriggerOut();

// Reply accessors: valid only after a successful ReceiveMessage of the matching reply.
// SYSTEM_READY: low halves of words 4..7 (DSP program major, minor; logic major, minor).
void GetReplyShorts(std::uint16_t& a, std::uint16_t& b, std::uint16_t& c, std::uint16_t& d);
// RETURN_SEARCH_RESULT: the f64 of words 4-5.
void GetReplyValue(double& value);
// RETURN_PW_MEASUREMENT, in this order: f64 words 4-5, the stored selected unit index,
// f64 words 6-7, words 10..14, f64 words 8-9.
void GetMeasurementReply(double& flux, std::uint32_t& unit, double& frequency,
                         std::uint32_t& w10, std::uint32_t& w11, std::uint32_t& w12,
                         std::uint32_t& w13, std::uint32_t& w14, double& w89);
// RETURN_TRIGGER_OUT: whether word 4 is non-zero.
void ReplyHasValue(std::uint8_t& hasValue);

// RETURN_SIGNAL: one array kept in DSP memory, read into the caller's buffer. On entry
// count is the buffer's capacity in words; on return the number of words read
// (min(capacity, the DSP's count); an array the DSP reports empty is not read).
struct DSPSignalArray {
    std::uint32_t* buffer;
    std::uint32_t count;
};

// RETURN_SIGNAL scalars. The further words of the arrays are single-precision values.
struct DSPSignalScalars {
    double ifFrequency;              // words 4-5
    double rfFrequency;              // words 6-7
    std::uint32_t relaxationTime;    // word 8
    float samplePeriod;              // 1 / rate (word 12)
    float fftResolution;             // word 15
    float fftNoiseFloor;             // word 16
    float spectrumResolution;        // word 19
    float spectrumCenterFrequency;   // word 20
    float fitResidue;                // word 23
};

// arrays: NMR signal, FFT buffer, peak spectrum, fit coefficients.
void GetSignalReply(DSPSignalArray (&arrays)[4], DSPSignalScalars& scalars);

}  // namespace CKorvexDSP

class CKorvexPeripheral;

// Sample length of a probe: 0 when its pulsed predicate answers non-zero for the argument,
// else the SampleLength of its physical information.
double KorvexGetProbeSampleLength(CKorvexPeripheral* peripheral, std::uint32_t argument);
// Current value of measure_parms/sample/length.
double KorvexGetSettingsSampleLength();

}  // namespace Korvex
