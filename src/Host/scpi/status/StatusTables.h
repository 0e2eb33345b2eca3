// Fixed data of the status model: the status bits that other code sets by row number,
// the SCPI error table, the summary links evaluated into the status byte, and the map
// from the SCPI engine's parse statuses to error rows.
#pragma once

#include <cstdint>

namespace Korvex {

// Registers of a status block.
enum eStatusRegister : std::uint32_t {
    eRegStatusByte = 0,
    eRegStandardEvent = 1,
    eRegOperation = 2,
    eRegQuestionable = 3,
    eRegQuestionableBit12 = 4,
    eRegOperationBit11 = 5,
    eRegOperationBit12 = 6,
};
constexpr std::uint32_t StatusRegisterCount = 7;

// A status bit: its register and mask; a pulse bit is held in the condition only until the
// next evaluation; an all-sessions bit is set and cleared in every block of the session
// list.
struct StatusBitRow {
    std::uint32_t reg;
    std::uint16_t mask;
    std::uint8_t pulse;
    std::uint8_t allSessions;
};
constexpr std::uint32_t StatusBitRowCount = 68;
extern const StatusBitRow StatusBitTable[StatusBitRowCount];

// Status-bit rows the status model itself uses.
enum eStatusBitRowId : std::uint32_t {
    eRowNone = 0,
    eRowMessageAvailable = 1,
    eRowServiceRequest = 3,  // RQS/MSS position of the status byte
    eRowErrorQueue = 4,
    eRowPowerOn = 14,
};

// An SCPI error: its code, the status-bit row set when it is queued (0 none), whether it
// is queued in every block, and its text.
struct SCPIErrorRow {
    std::int16_t code;
    std::uint32_t statusBitRow;
    std::uint8_t allSessions;
    const char* text;
};
constexpr std::uint32_t SCPIErrorRowCount = 133;
extern const SCPIErrorRow SCPIErrorTable[SCPIErrorRowCount];

// A row of the SCPI error table, thrown by value by command code and posted by the
// dispatcher. Named here: the rows the status model and the host objects post themselves.
enum eSCPIErrorEvent : std::uint32_t {
    eScpiNoError = 0,
    eScpiQueueOverflow = 107,
    eScpiQueryInterrupted = 114,
    eScpiQueryUnterminated = 115,
    eScpiFirmwareError = 127,
};

// The summary of register reg (event AND enable) goes into status-bit row row. The table
// order is the evaluation order: sub-registers first, the status byte's inputs last.
struct StatusSummaryLink {
    std::uint32_t reg;
    std::uint32_t row;
};
constexpr std::uint32_t StatusSummaryLinkCount = 6;
extern const StatusSummaryLink StatusSummaryLinkTable[StatusSummaryLinkCount];

// The error row that reports an SCPI engine or parsed-command status; 0 when nothing is
// posted (success, empty unit). Statuses without a row of their own give "Firmware error".
std::uint32_t ParseStatusErrorRow(std::uint8_t status);

}  // namespace Korvex
