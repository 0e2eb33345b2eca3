// Engine status words and their public ZODEVICE_STATUS codes.
//
// Every engine operation reports through a std::uint32_t status out-parameter (its last
// argument) and throws nothing:
//  - the operation writes the status on every path: 0 on success, else a failure;
//  - an operation made of several steps checks the status after each step and returns at the
//    first failure, leaving that status in place;
//  - only the state machines' events and actions (and CSortedArray::Insert) do nothing when
//    the status they are handed already holds a failure;
//  - a caller of an interface slot pre-sets its status to ZODEVICE_STATUS_DRIVER_FAULT, so a
//    call that is never carried out reports it;
//  - a constructor takes the same out-parameter (or keeps an init-failed flag); its creator
//    checks it right after construction and destroys the object again on failure.
//
// Inside the engine a status is either a full 0x543xx code or a small value (see the
// ENGINE_STATUS_* values below). The public device classes publish() every status before
// returning it; everything else passes statuses on unchanged.
#pragma once

#include <cstdint>

using ZODEVICE_STATUS = std::uint32_t;

// ---- published codes (47) -----------------------------------------------------------------
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_HARDWARE_NOT_FOUND = 0x54300;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_HARDWARE_INITIALIZATION_FAULT = 0x54301;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_HARDWARE_ALREADY_IN_USE = 0x54306;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_HARDWARE_ERROR = 0x5430F;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_DEVICE_ALREADY_EXISTS = 0x54311;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID = 0x54312;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_DEVICE_ALREADY_ENABLED = 0x54317;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_DEVICE_NOT_ENABLED = 0x54318;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_DEVICE_ERROR = 0x5431F;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_INPUT_QUEUE_ALREADY_ENABLED = 0x54320;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_RESPONSE_MSG_ALREADY_QUEUED = 0x54323;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_IO_ERROR = 0x5432F;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_DEADLOCKED = 0x54330;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_DEVICE_CLEAR_ACTIVE = 0x54331;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_END_MSG_NOT_RECEIVED = 0x54332;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_MSG_REQUESTED = 0x54333;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_NEW_MSG_NOT_RECEIVED = 0x54334;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_QUERY_NOT_DETECTED = 0x54335;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_MSG_NOT_UNTERMINATED = 0x54336;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_RELAXED_MODE_ALREADY_ENABLED = 0x54337;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_RELAXED_MODE_ALREADY_DISABLED = 0x54338;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_MEP_ERROR = 0x5433F;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_MSG_BUFFER_INVALID = 0x54342;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_MSG_BUFFER_NOT_ON_32BIT_BOUNDARY = 0x54343;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_MSG_BUFFER_SIZE_INVALID = 0x54344;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_MULTI_THREAD_NOT_SUPPORTED = 0x54346;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_PARAMETER_ERROR = 0x5434F;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_EVENT_MSG_LOOP_ENABLED = 0x54350;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_EVENT_ALREADY_ENABLED = 0x54352;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_EVENT_MSG_UNAVAILABLE = 0x54356;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_EVENT_MSG_ABORTED = 0x54357;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_EVENT_ERROR = 0x5435F;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_INTERNAL_INCOMPATIBILITY = 0x54362;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_ENGINE_INCOMPATIBILITY = 0x54363;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_PLUGIN_INCOMPATIBILITY = 0x54364;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_UNABLE_TO_LOAD_ENGINE = 0x54365;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_UNABLE_TO_LOAD_PLUGIN = 0x54366;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_COMPONENT_ERROR = 0x5436F;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_GPIB_PLUGIN_ERROR = 0x5438F;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_PORTMAPPER_NOT_PRESENT = 0x54393;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_SOCKET_ERROR = 0x54394;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_TCPIP_PLUGIN_ERROR = 0x5439F;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_USB_PLUGIN_ERROR = 0x543AF;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_INSUFFICIENT_MEMORY = 0x543F0;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_OUT_OF_RESOURCES = 0x543F1;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_UNKNOWN = 0x543FE;
constexpr ZODEVICE_STATUS ZODEVICE_STATUS_DRIVER_FAULT = 0x543FF;

// ---- engine statuses that are not published as themselves ---------------------------------
// Small values written by the operating-system layer.
constexpr std::uint32_t ENGINE_STATUS_NOT_CREATED = 5;      // object could not be created/started
constexpr std::uint32_t ENGINE_STATUS_TIMED_OUT = 6;        // a wait ended without its event
constexpr std::uint32_t ENGINE_STATUS_SOCKET_FAILED = 7;    // a socket call failed
constexpr std::uint32_t ENGINE_STATUS_ALREADY_EXISTS = 8;   // object exists / thread did not start
// Full codes folded by their low byte when published.
constexpr std::uint32_t ENGINE_STATUS_SESSION_NOT_FOUND = 0x54310;     // -> 0x54318
constexpr std::uint32_t ENGINE_STATUS_NULL_POINTER = 0x54341;          // -> 0x5434F
constexpr std::uint32_t ENGINE_STATUS_EVENT_INDEX_INVALID = 0x54345;   // -> 0x5434F
constexpr std::uint32_t ENGINE_STATUS_EVENT_QUEUE_FULL = 0x54355;      // -> 0x5435F
constexpr std::uint32_t ENGINE_STATUS_SETTING_OUT_OF_RANGE = 0x54370;  // -> 0x54312

// One row of the status table: the public code and its text.
struct StatusTableRow {
    ZODEVICE_STATUS code;
    const char* text;
};

// 256 rows, indexed by the low byte of an engine status.
extern const StatusTableRow kStatusTable[256];

// 0 for 0, else the code of row (status & 0xFF).
ZODEVICE_STATUS publish(std::uint32_t status);

// The text of a code (the text of row (code & 0xFF)); "" for 0.
const char* statusText(ZODEVICE_STATUS code);
