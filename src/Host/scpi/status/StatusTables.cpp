#include "Host/scpi/status/StatusTables.h"

#include <iterator>

namespace Korvex {

// {register, mask, pulse, all sessions}
const StatusBitRow StatusBitTable[] = {
    {eRegStatusByte, 0x0, 0, 0},              // 0 no bit (the status-bit row of error row 0)
    {eRegStatusByte, 0x10, 0, 0},             // 1 MAV: a response is pending (set by the evaluation)
    {eRegStatusByte, 0x20, 0, 0},             // 2 ESB: summary of the standard event register
    {eRegStatusByte, 0x40, 0, 0},             // 3 RQS/MSS position (the service-request mask)
    {eRegStatusByte, 0x4, 0, 0},              // 4 error/event queue not empty (set by the evaluation)
    {eRegStatusByte, 0x8, 0, 0},              // 5 summary of QUEStionable
    {eRegStatusByte, 0x80, 0, 0},             // 6 summary of OPERation
    {eRegStandardEvent, 0x1, 1, 0},           // 7 operation complete (*OPC; error row 121)
    {eRegStandardEvent, 0x2, 1, 0},           // 8 request control (error row 120)
    {eRegStandardEvent, 0x4, 1, 0},           // 9 query error (error rows 113-117)
    {eRegStandardEvent, 0x8, 1, 1},           // 10 device-dependent error (error rows 96-112, 122-132)
    {eRegStandardEvent, 0x10, 1, 1},          // 11 execution error (error rows 41-95)
    {eRegStandardEvent, 0x20, 1, 0},          // 12 command error (error rows 1-40)
    {eRegStandardEvent, 0x40, 1, 0},          // 13 user request (error row 119)
    {eRegStandardEvent, 0x80, 0, 1},          // 14 power on (error row 118; set at construction)
    {eRegOperation, 0x1, 0, 1},               // 15
    {eRegOperation, 0x2, 0, 0},               // 16
    {eRegOperation, 0x4, 0, 1},               // 17 command execution
    {eRegOperation, 0x8, 0, 1},               // 18 acquisition state
    {eRegOperation, 0x10, 0, 1},              // 19 acquisition state
    {eRegOperation, 0x20, 0, 1},              // 20 acquisition state
    {eRegOperation, 0x40, 0, 1},              // 21
    {eRegOperation, 0x80, 0, 0},              // 22
    {eRegOperation, 0x100, 1, 1},             // 23 acquisition flows
    {eRegOperation, 0x200, 1, 1},             // 24 acquisition flows
    {eRegOperation, 0x800, 0, 1},             // 25 summary of OPERation:BIT11
    {eRegOperation, 0x1000, 0, 1},            // 26 summary of OPERation:BIT12
    {eRegOperation, 0x2000, 0, 0},            // 27
    {eRegOperation, 0x4000, 0, 0},            // 28
    {eRegQuestionable, 0x1, 0, 0},            // 29
    {eRegQuestionable, 0x2, 0, 0},            // 30
    {eRegQuestionable, 0x4, 0, 0},            // 31
    {eRegQuestionable, 0x8, 0, 0},            // 32
    {eRegQuestionable, 0x10, 0, 0},           // 33
    {eRegQuestionable, 0x20, 0, 1},           // 34
    {eRegQuestionable, 0x40, 0, 0},           // 35
    {eRegQuestionable, 0x80, 0, 0},           // 36
    {eRegQuestionable, 0x100, 0, 0},          // 37
    {eRegQuestionable, 0x200, 0, 1},          // 38 acquisition flows
    {eRegQuestionable, 0x400, 1, 0},          // 39 settings get/set
    {eRegQuestionable, 0x800, 0, 1},          // 40 reference-clock state
    {eRegQuestionable, 0x1000, 0, 1},         // 41 summary of QUEStionable:BIT12
    {eRegQuestionable, 0x2000, 0, 0},         // 42
    {eRegQuestionable, 0x4000, 0, 0},         // 43
    {eRegQuestionableBit12, 0x1, 0, 1},       // 44 acquisition flows
    {eRegQuestionableBit12, 0x2, 0, 1},       // 45 acquisition flows
    {eRegQuestionableBit12, 0x4, 1, 1},       // 46 acquisition flows
    {eRegOperationBit11, 0x1, 1, 1},          // 47
    {eRegOperationBit11, 0x2, 1, 1},          // 48
    {eRegOperationBit11, 0x4, 1, 1},          // 49 command execution
    {eRegOperationBit11, 0x8, 1, 1},          // 50 command execution
    {eRegOperationBit11, 0x10, 1, 1},         // 51
    {eRegOperationBit11, 0x20, 1, 1},         // 52 command execution
    {eRegOperationBit11, 0x40, 1, 1},         // 53 command execution
    {eRegOperationBit11, 0x80, 1, 1},         // 54
    {eRegOperationBit11, 0x100, 1, 1},        // 55
    {eRegOperationBit11, 0x200, 1, 1},        // 56
    {eRegOperationBit11, 0x400, 1, 1},        // 57 command execution
    {eRegOperationBit11, 0x800, 1, 1},        // 58
    {eRegOperationBit11, 0x1000, 1, 1},       // 59
    {eRegOperationBit11, 0x2000, 1, 1},       // 60
    {eRegOperationBit11, 0x4000, 1, 1},       // 61
    {eRegOperationBit11, 0x7FFF, 1, 1},       // 62 all fifteen bits of the register; command execution
    {eRegOperationBit12, 0x1, 0, 1},          // 63
    {eRegOperationBit12, 0x8, 1, 1},          // 64
    {eRegOperationBit12, 0x10, 1, 1},         // 65 acquisition flows
    {eRegOperationBit12, 0x20, 1, 1},         // 66 topology monitor
    {eRegOperationBit12, 0x40, 1, 1},         // 67 topology monitor
};
static_assert(std::size(StatusBitTable) == StatusBitRowCount, "status-bit table size");

// {code, status-bit row, all sessions, text}
const SCPIErrorRow SCPIErrorTable[] = {
    {0, 0, 0, "No error"},  // 0
    {-100, 12, 0, "Command error"},  // 1
    {-101, 12, 0, "Invalid character"},  // 2
    {-102, 12, 0, "Syntax error"},  // 3
    {-103, 12, 0, "Invalid separator"},  // 4
    {-104, 12, 0, "Data type error"},  // 5
    {-105, 12, 0, "GET not allowed"},  // 6
    {-108, 12, 0, "Parameter not allowed"},  // 7
    {-109, 12, 0, "Missing parameter"},  // 8
    {-110, 12, 0, "Command header error"},  // 9
    {-111, 12, 0, "Header separator error"},  // 10
    {-112, 12, 0, "Program mnemonic too long"},  // 11
    {-113, 12, 0, "Undefined header"},  // 12
    {-114, 12, 0, "Header suffix out of range"},  // 13
    {-115, 12, 0, "Unexpected number of parameters"},  // 14
    {-120, 12, 0, "Numeric data error"},  // 15
    {-121, 12, 0, "Invalid character in number"},  // 16
    {-123, 12, 0, "Exponent too large"},  // 17
    {-124, 12, 0, "Too many digits"},  // 18
    {-128, 12, 0, "Numeric data not allowed"},  // 19
    {-130, 12, 0, "Suffix error"},  // 20
    {-131, 12, 0, "Invalid suffix"},  // 21
    {-134, 12, 0, "Suffix too long"},  // 22
    {-138, 12, 0, "Suffix not allowed"},  // 23
    {-140, 12, 0, "Character data error"},  // 24
    {-141, 12, 0, "Invalid character data"},  // 25
    {-144, 12, 0, "Character data too long"},  // 26
    {-148, 12, 0, "Character data not allowed"},  // 27
    {-150, 12, 0, "String data error"},  // 28
    {-151, 12, 0, "Invalid string data"},  // 29
    {-158, 12, 0, "String data not allowed"},  // 30
    {-160, 12, 0, "Block data error"},  // 31
    {-161, 12, 0, "Invalid block data"},  // 32
    {-168, 12, 0, "Block data not allowed"},  // 33
    {-170, 12, 0, "Expression error"},  // 34
    {-171, 12, 0, "Invalid expression"},  // 35
    {-178, 12, 0, "Expression data not allowed"},  // 36
    {-180, 12, 0, "Macro error"},  // 37
    {-181, 12, 0, "Invalid outside macro definition"},  // 38
    {-183, 12, 0, "Invalid inside macro definition"},  // 39
    {-184, 12, 0, "Macro parameter error"},  // 40
    {-200, 11, 1, "Execution error"},  // 41
    {-201, 11, 1, "Invalid while in local"},  // 42
    {-202, 11, 0, "Settings lost due to rtl"},  // 43
    {-203, 11, 1, "Command protected"},  // 44
    {-210, 11, 1, "Trigger error"},  // 45
    {-211, 11, 1, "Trigger ignored"},  // 46
    {-212, 11, 1, "Arm ignored"},  // 47
    {-213, 11, 1, "Init ignored"},  // 48
    {-214, 11, 1, "Trigger deadlock"},  // 49
    {-215, 11, 1, "Arm deadlock"},  // 50
    {-220, 11, 1, "Parameter error"},  // 51
    {-221, 11, 1, "Settings conflict"},  // 52
    {-222, 11, 1, "Data out of range"},  // 53
    {-223, 11, 1, "Too much data"},  // 54
    {-224, 11, 1, "Illegal parameter value"},  // 55
    {-225, 11, 1, "Out of memory"},  // 56
    {-226, 11, 1, "Lists not same length"},  // 57
    {-230, 11, 1, "Data corrupt or stale"},  // 58
    {-231, 11, 1, "Data questionable"},  // 59
    {-232, 11, 1, "Invalid format"},  // 60
    {-233, 11, 0, "Invalid version"},  // 61
    {-240, 11, 1, "Hardware error"},  // 62
    {-241, 11, 1, "Hardware missing"},  // 63
    {-250, 11, 1, "Mass storage error"},  // 64
    {-251, 11, 1, "Missing mass storage"},  // 65
    {-252, 11, 1, "Missing media"},  // 66
    {-253, 11, 1, "Corrupt media"},  // 67
    {-254, 11, 1, "Media full"},  // 68
    {-255, 11, 1, "Directory full"},  // 69
    {-256, 11, 1, "File name not found"},  // 70
    {-257, 11, 1, "File name error"},  // 71
    {-258, 11, 1, "Media protected"},  // 72
    {-260, 11, 0, "Expression error"},  // 73
    {-261, 11, 0, "Math error in expression"},  // 74
    {-270, 11, 0, "Macro error"},  // 75
    {-271, 11, 0, "Macro syntax error"},  // 76
    {-272, 11, 0, "Macro execution error"},  // 77
    {-273, 11, 0, "Illegal macro label"},  // 78
    {-274, 11, 0, "Macro parameter error"},  // 79
    {-275, 11, 0, "Macro definition too long"},  // 80
    {-276, 11, 0, "Macro recursion error"},  // 81
    {-277, 11, 0, "Macro redefinition not allowed"},  // 82
    {-278, 11, 0, "Macro header not found"},  // 83
    {-280, 11, 0, "Program error"},  // 84
    {-281, 11, 0, "Cannot create program"},  // 85
    {-282, 11, 0, "Illegal program name"},  // 86
    {-283, 11, 0, "Illegal variable name"},  // 87
    {-284, 11, 0, "Program currently running"},  // 88
    {-285, 11, 0, "Program syntax error"},  // 89
    {-286, 11, 0, "Program runtime error"},  // 90
    {-290, 11, 0, "Memory use error"},  // 91
    {-291, 11, 0, "Out of memory"},  // 92
    {-292, 11, 0, "Referenced name does not exist"},  // 93
    {-293, 11, 0, "Referenced name already exists"},  // 94
    {-294, 11, 0, "Incompatible type"},  // 95
    {-300, 10, 1, "Device-specific error"},  // 96
    {-310, 10, 1, "System error"},  // 97
    {-311, 10, 1, "Memory error"},  // 98
    {-312, 10, 0, "PUD memory lost"},  // 99
    {-313, 10, 0, "Calibration memory lost"},  // 100
    {-314, 10, 0, "Save/recall memory lost"},  // 101
    {-315, 10, 1, "Configuration memory lost"},  // 102
    {-320, 10, 1, "Storage fault"},  // 103
    {-321, 10, 0, "Out of memory"},  // 104
    {-330, 10, 1, "Self-test failed"},  // 105
    {-340, 10, 0, "Calibration failed"},  // 106
    {-350, 10, 0, "Queue overflow"},  // 107
    {-360, 10, 0, "Communication error"},  // 108
    {-361, 10, 0, "Parity error in program message"},  // 109
    {-362, 10, 0, "Framing error in program message"},  // 110
    {-363, 10, 0, "Input buffer overrun"},  // 111
    {-365, 10, 1, "Time out error"},  // 112
    {-400, 9, 0, "Query error"},  // 113
    {-410, 9, 0, "Query INTERRUPTED"},  // 114
    {-420, 9, 0, "Query UNTERMINATED"},  // 115
    {-430, 9, 0, "Query DEADLOCKED"},  // 116
    {-440, 9, 0, "Query UNTERMINATED after indefinite response"},  // 117
    {-500, 14, 1, "Power on"},  // 118
    {-600, 13, 0, "User request"},  // 119
    {-700, 8, 0, "Request control"},  // 120
    {-800, 7, 0, "Operation complete"},  // 121
    {101, 10, 0, "Invalid value in list"},  // 122
    {102, 10, 0, "Wrong units for parameter"},  // 123
    {103, 10, 0, "Invalid number of dimensions in channel"},  // 124
    {104, 10, 0, "Error in channel list"},  // 125
    {105, 10, 0, "Numeric suffix invalid"},  // 126
    {200, 10, 1, "Firmware error"},  // 127
    {201, 10, 1, "No probe"},  // 128
    {202, 10, 1, "No selected channel"},  // 129
    {203, 10, 1, "Invalid Channel List"},  // 130
    {204, 10, 0, "Data not all available"},  // 131
    {205, 10, 1, "Topology Changed"},  // 132
};
static_assert(std::size(SCPIErrorTable) == SCPIErrorRowCount, "SCPI error table size");

const StatusSummaryLink StatusSummaryLinkTable[] = {
    {eRegOperationBit11, 25},     // OPERation 0x800
    {eRegOperationBit12, 26},     // OPERation 0x1000
    {eRegQuestionableBit12, 41},  // QUEStionable 0x1000
    {eRegQuestionable, 5},        // status byte 0x08
    {eRegOperation, 6},           // status byte 0x80
    {eRegStandardEvent, 2},       // status byte 0x20 (ESB)
};
static_assert(std::size(StatusSummaryLinkTable) == StatusSummaryLinkCount, "summary links");

namespace {

struct ParseStatusRow {
    std::uint8_t status;
    std::uint32_t errorRow;
};

const ParseStatusRow ParseStatusTable[] = {
    {0, 0},      // success
    {10, 0},     // empty unit
    {5, 126},    // 105 "Numeric suffix invalid"
    {14, 126},   // 105 "Numeric suffix invalid"
    {16, 122},   // 101 "Invalid value in list"
    {17, 124},   // 103 "Invalid number of dimensions in channel"
    {210, 124},  // 103 "Invalid number of dimensions in channel"
    {20, 17},    // -123 "Exponent too large"
    {30, 123},   // 102 "Wrong units for parameter"
    {40, 5},     // -104 "Data type error"
    {50, 14},    // -115 "Unexpected number of parameters"
    {60, 29},    // -151 "Invalid string data"
    {65, 35},    // -171 "Invalid expression"
    {70, 3},     // -102 "Syntax error"
    {248, 125},  // 104 "Error in channel list"
    {249, 128},  // 201 "No probe"
    {250, 117},  // -440 "Query UNTERMINATED after indefinite response"
    {251, 131},  // 204 "Data not all available"
    {252, 52},   // -221 "Settings conflict"
    {253, 53},   // -222 "Data out of range"
    {255, 56},   // -225 "Out of memory"
};

}  // namespace

std::uint32_t ParseStatusErrorRow(std::uint8_t status) {
    for (const ParseStatusRow& row : ParseStatusTable) {
        if (row.status == status) return row.errorRow;
    }
    return eScpiFirmwareError;
}

}  // namespace Korvex
