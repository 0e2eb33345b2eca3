// The status table: engine status (low byte) -> public code and its text.
#include "engine/status/EngineStatus.h"

namespace {

constexpr const char* kHardwareNotFound =
    "ZODEVICE_STATUS_HARDWARE_NOT_FOUND: The specified hardware was not found.";
constexpr const char* kHardwareInitializationFault =
    "ZODEVICE_STATUS_HARDWARE_INITIALIZATION_FAULT: The specified hardware could not be initialized.";
constexpr const char* kHardwareAlreadyInUse =
    "ZODEVICE_STATUS_HARDWARE_ALREADY_IN_USE: The hardware is already in use.";
constexpr const char* kHardwareError =
    "ZODEVICE_STATUS_HARDWARE_ERROR: There was a hardware error.";
constexpr const char* kDeviceAlreadyExists =
    "ZODEVICE_STATUS_DEVICE_ALREADY_EXISTS: The specified device already exists.";
constexpr const char* kDeviceSettingsInvalid =
    "ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID: The device settings are invalid.";
constexpr const char* kDeviceAlreadyEnabled =
    "ZODEVICE_STATUS_DEVICE_ALREADY_ENABLED: The specified device is already enabled.";
constexpr const char* kDeviceNotEnabled =
    "ZODEVICE_STATUS_DEVICE_NOT_ENABLED: The specified device is not enabled.";
constexpr const char* kDeviceError =
    "ZODEVICE_STATUS_DEVICE_ERROR: There was a device error.";
constexpr const char* kInputQueueAlreadyEnabled =
    "ZODEVICE_STATUS_INPUT_QUEUE_ALREADY_ENABLED: The input queue is already enabled.";
constexpr const char* kResponseMsgAlreadyQueued =
    "ZODEVICE_STATUS_RESPONSE_MSG_ALREADY_QUEUED: A response message is already queued.";
constexpr const char* kIoError =
    "ZODEVICE_STATUS_IO_ERROR: There was an I/O error.";
constexpr const char* kDeadlocked =
    "ZODEVICE_STATUS_DEADLOCKED: The device is deadlocked.";
constexpr const char* kDeviceClearActive =
    "ZODEVICE_STATUS_DEVICE_CLEAR_ACTIVE: A device clear event is active.";
constexpr const char* kEndMsgNotReceived =
    "ZODEVICE_STATUS_END_MSG_NOT_RECEIVED: An end-of-message has not been received.";
constexpr const char* kMsgRequested =
    "ZODEVICE_STATUS_MSG_REQUESTED: A response message has been requested.";
constexpr const char* kNewMsgNotReceived =
    "ZODEVICE_STATUS_NEW_MSG_NOT_RECEIVED: A new message has not been received.";
constexpr const char* kQueryNotDetected =
    "ZODEVICE_STATUS_QUERY_NOT_DETECTED: A query has not been detected.";
constexpr const char* kMsgNotUnterminated =
    "ZODEVICE_STATUS_MSG_NOT_UNTERMINATED: An unterminated condition has not been detected.";
constexpr const char* kRelaxedModeAlreadyEnabled =
    "ZODEVICE_STATUS_RELAXED_MODE_ALREADY_ENABLED: Relaxed mode output queue rules were already enabled.";
constexpr const char* kRelaxedModeAlreadyDisabled =
    "ZODEVICE_STATUS_RELAXED_MODE_ALREADY_DISABLED: Relaxed mode output queue rules were already disabled.";
constexpr const char* kMepError =
    "ZODEVICE_STATUS_MEP_ERROR: There was a Message Exchange Protocol error.";
constexpr const char* kMsgBufferInvalid =
    "ZODEVICE_STATUS_MSG_BUFFER_INVALID: The specified buffer is invalid.";
constexpr const char* kMsgBufferNotOn32bitBoundary =
    "ZODEVICE_STATUS_MSG_BUFFER_NOT_ON_32BIT_BOUNDARY: The specified buffer is not 32-bit aligned.";
constexpr const char* kMsgBufferSizeInvalid =
    "ZODEVICE_STATUS_MSG_BUFFER_SIZE_INVALID: The specified buffer has an invalid size.";
constexpr const char* kMultiThreadNotSupported =
    "ZODEVICE_STATUS_MULTI_THREAD_NOT_SUPPORTED: Multiple threads are not supported.";
constexpr const char* kParameterError =
    "ZODEVICE_STATUS_PARAMETER_ERROR: There was an error with a parameter.";
constexpr const char* kEventMsgLoopEnabled =
    "ZODEVICE_STATUS_EVENT_MSG_LOOP_ENABLED: The event message loop is enabled.";
constexpr const char* kEventAlreadyEnabled =
    "ZODEVICE_STATUS_EVENT_ALREADY_ENABLED: The specified event is already enabled.";
constexpr const char* kEventMsgUnavailable =
    "ZODEVICE_STATUS_EVENT_MSG_UNAVAILABLE: An event message is unavailable.";
constexpr const char* kEventMsgAborted =
    "ZODEVICE_STATUS_EVENT_MSG_ABORTED: The event message loop was aborted.";
constexpr const char* kEventError =
    "ZODEVICE_STATUS_EVENT_ERROR: There was an event error.";
constexpr const char* kInternalIncompatibility =
    "ZODEVICE_STATUS_INTERNAL_INCOMPATIBILITY: The versions of the internal ZO-Zevodo components are incompatible with each other.";
constexpr const char* kEngineIncompatibility =
    "ZODEVICE_STATUS_ENGINE_INCOMPATIBILITY: The version of the ZO-Zevodo engine is incompatible with your application.";
constexpr const char* kPluginIncompatibility =
    "ZODEVICE_STATUS_PLUGIN_INCOMPATIBILITY: The version of the ZO-Zevodo plug-in is incompatible with your application.";
constexpr const char* kUnableToLoadEngine =
    "ZODEVICE_STATUS_UNABLE_TO_LOAD_ENGINE: Unable to load the specified ZO-Zevodo engine.";
constexpr const char* kUnableToLoadPlugin =
    "ZODEVICE_STATUS_UNABLE_TO_LOAD_PLUGIN: Unable to load the specified ZO-Zevodo plug-in.";
constexpr const char* kComponentError =
    "ZODEVICE_STATUS_COMPONENT_ERROR: There was a component error.";
constexpr const char* kGpibPluginError =
    "ZODEVICE_STATUS_GPIB_PLUGIN_ERROR: There was a GPIB plug-in error.";
constexpr const char* kPortmapperNotPresent =
    "ZODEVICE_STATUS_PORTMAPPER_NOT_PRESENT: An RPC portmapper was not found on the system.";
constexpr const char* kSocketError =
    "ZODEVICE_STATUS_SOCKET_ERROR: A socket error was detected.";
constexpr const char* kTcpipPluginError =
    "ZODEVICE_STATUS_TCPIP_PLUGIN_ERROR: There was a TCP/IP plug-in error.";
constexpr const char* kUsbPluginError =
    "ZODEVICE_STATUS_USB_PLUGIN_ERROR: There was a USB plug-in error.";
constexpr const char* kInsufficientMemory =
    "ZODEVICE_STATUS_INSUFFICIENT_MEMORY: An out-of-memory condition was detected.";
constexpr const char* kOutOfResources =
    "ZODEVICE_STATUS_OUT_OF_RESOURCES: There are not enough resources to complete the operation.";
constexpr const char* kUnknown =
    "ZODEVICE_STATUS_UNKNOWN: There was an unknown error.";
constexpr const char* kDriverFault =
    "ZODEVICE_STATUS_DRIVER_FAULT: There was a driver error.";

}  // namespace

// clang-format off
const StatusTableRow kStatusTable[256] = {
    /* 0x00 */ {ZODEVICE_STATUS_HARDWARE_NOT_FOUND, kHardwareNotFound},
    /* 0x01 */ {ZODEVICE_STATUS_HARDWARE_INITIALIZATION_FAULT, kHardwareInitializationFault},
    /* 0x02 */ {ZODEVICE_STATUS_HARDWARE_ERROR, kHardwareError},
    /* 0x03 */ {ZODEVICE_STATUS_DEVICE_NOT_ENABLED, kDeviceNotEnabled},
    /* 0x04 */ {ZODEVICE_STATUS_HARDWARE_ERROR, kHardwareError},
    /* 0x05 */ {ZODEVICE_STATUS_HARDWARE_ERROR, kHardwareError},
    /* 0x06 */ {ZODEVICE_STATUS_HARDWARE_ALREADY_IN_USE, kHardwareAlreadyInUse},
    /* 0x07 */ {ZODEVICE_STATUS_HARDWARE_ERROR, kHardwareError},
    /* 0x08 */ {ZODEVICE_STATUS_HARDWARE_ERROR, kHardwareError},
    /* 0x09 */ {ZODEVICE_STATUS_HARDWARE_ERROR, kHardwareError},
    /* 0x0A */ {ZODEVICE_STATUS_HARDWARE_ERROR, kHardwareError},
    /* 0x0B */ {ZODEVICE_STATUS_HARDWARE_ERROR, kHardwareError},
    /* 0x0C */ {ZODEVICE_STATUS_HARDWARE_ERROR, kHardwareError},
    /* 0x0D */ {ZODEVICE_STATUS_HARDWARE_ERROR, kHardwareError},
    /* 0x0E */ {ZODEVICE_STATUS_HARDWARE_ERROR, kHardwareError},
    /* 0x0F */ {ZODEVICE_STATUS_HARDWARE_ERROR, kHardwareError},
    /* 0x10 */ {ZODEVICE_STATUS_DEVICE_NOT_ENABLED, kDeviceNotEnabled},
    /* 0x11 */ {ZODEVICE_STATUS_DEVICE_ALREADY_EXISTS, kDeviceAlreadyExists},
    /* 0x12 */ {ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID, kDeviceSettingsInvalid},
    /* 0x13 */ {ZODEVICE_STATUS_DEVICE_ERROR, kDeviceError},
    /* 0x14 */ {ZODEVICE_STATUS_DEVICE_ERROR, kDeviceError},
    /* 0x15 */ {ZODEVICE_STATUS_DEVICE_ERROR, kDeviceError},
    /* 0x16 */ {ZODEVICE_STATUS_DEVICE_ERROR, kDeviceError},
    /* 0x17 */ {ZODEVICE_STATUS_DEVICE_ALREADY_ENABLED, kDeviceAlreadyEnabled},
    /* 0x18 */ {ZODEVICE_STATUS_DEVICE_NOT_ENABLED, kDeviceNotEnabled},
    /* 0x19 */ {ZODEVICE_STATUS_DEVICE_ERROR, kDeviceError},
    /* 0x1A */ {ZODEVICE_STATUS_DEVICE_ERROR, kDeviceError},
    /* 0x1B */ {ZODEVICE_STATUS_DEVICE_ERROR, kDeviceError},
    /* 0x1C */ {ZODEVICE_STATUS_DEVICE_ERROR, kDeviceError},
    /* 0x1D */ {ZODEVICE_STATUS_DEVICE_ERROR, kDeviceError},
    /* 0x1E */ {ZODEVICE_STATUS_DEVICE_ERROR, kDeviceError},
    /* 0x1F */ {ZODEVICE_STATUS_DEVICE_ERROR, kDeviceError},
    /* 0x20 */ {ZODEVICE_STATUS_INPUT_QUEUE_ALREADY_ENABLED, kInputQueueAlreadyEnabled},
    /* 0x21 */ {ZODEVICE_STATUS_IO_ERROR, kIoError},
    /* 0x22 */ {ZODEVICE_STATUS_IO_ERROR, kIoError},
    /* 0x23 */ {ZODEVICE_STATUS_RESPONSE_MSG_ALREADY_QUEUED, kResponseMsgAlreadyQueued},
    /* 0x24 */ {ZODEVICE_STATUS_IO_ERROR, kIoError},
    /* 0x25 */ {ZODEVICE_STATUS_IO_ERROR, kIoError},
    /* 0x26 */ {ZODEVICE_STATUS_IO_ERROR, kIoError},
    /* 0x27 */ {ZODEVICE_STATUS_IO_ERROR, kIoError},
    /* 0x28 */ {ZODEVICE_STATUS_IO_ERROR, kIoError},
    /* 0x29 */ {ZODEVICE_STATUS_IO_ERROR, kIoError},
    /* 0x2A */ {ZODEVICE_STATUS_IO_ERROR, kIoError},
    /* 0x2B */ {ZODEVICE_STATUS_IO_ERROR, kIoError},
    /* 0x2C */ {ZODEVICE_STATUS_IO_ERROR, kIoError},
    /* 0x2D */ {ZODEVICE_STATUS_IO_ERROR, kIoError},
    /* 0x2E */ {ZODEVICE_STATUS_IO_ERROR, kIoError},
    /* 0x2F */ {ZODEVICE_STATUS_IO_ERROR, kIoError},
    /* 0x30 */ {ZODEVICE_STATUS_DEADLOCKED, kDeadlocked},
    /* 0x31 */ {ZODEVICE_STATUS_DEVICE_CLEAR_ACTIVE, kDeviceClearActive},
    /* 0x32 */ {ZODEVICE_STATUS_END_MSG_NOT_RECEIVED, kEndMsgNotReceived},
    /* 0x33 */ {ZODEVICE_STATUS_MSG_REQUESTED, kMsgRequested},
    /* 0x34 */ {ZODEVICE_STATUS_NEW_MSG_NOT_RECEIVED, kNewMsgNotReceived},
    /* 0x35 */ {ZODEVICE_STATUS_QUERY_NOT_DETECTED, kQueryNotDetected},
    /* 0x36 */ {ZODEVICE_STATUS_MSG_NOT_UNTERMINATED, kMsgNotUnterminated},
    /* 0x37 */ {ZODEVICE_STATUS_RELAXED_MODE_ALREADY_ENABLED, kRelaxedModeAlreadyEnabled},
    /* 0x38 */ {ZODEVICE_STATUS_RELAXED_MODE_ALREADY_DISABLED, kRelaxedModeAlreadyDisabled},
    /* 0x39 */ {ZODEVICE_STATUS_MEP_ERROR, kMepError},
    /* 0x3A */ {ZODEVICE_STATUS_MEP_ERROR, kMepError},
    /* 0x3B */ {ZODEVICE_STATUS_MEP_ERROR, kMepError},
    /* 0x3C */ {ZODEVICE_STATUS_MEP_ERROR, kMepError},
    /* 0x3D */ {ZODEVICE_STATUS_MEP_ERROR, kMepError},
    /* 0x3E */ {ZODEVICE_STATUS_MEP_ERROR, kMepError},
    /* 0x3F */ {ZODEVICE_STATUS_MEP_ERROR, kMepError},
    /* 0x40 */ {ZODEVICE_STATUS_PARAMETER_ERROR, kParameterError},
    /* 0x41 */ {ZODEVICE_STATUS_PARAMETER_ERROR, kParameterError},
    /* 0x42 */ {ZODEVICE_STATUS_MSG_BUFFER_INVALID, kMsgBufferInvalid},
    /* 0x43 */ {ZODEVICE_STATUS_MSG_BUFFER_NOT_ON_32BIT_BOUNDARY, kMsgBufferNotOn32bitBoundary},
    /* 0x44 */ {ZODEVICE_STATUS_MSG_BUFFER_SIZE_INVALID, kMsgBufferSizeInvalid},
    /* 0x45 */ {ZODEVICE_STATUS_PARAMETER_ERROR, kParameterError},
    /* 0x46 */ {ZODEVICE_STATUS_MULTI_THREAD_NOT_SUPPORTED, kMultiThreadNotSupported},
    /* 0x47 */ {ZODEVICE_STATUS_PARAMETER_ERROR, kParameterError},
    /* 0x48 */ {ZODEVICE_STATUS_PARAMETER_ERROR, kParameterError},
    /* 0x49 */ {ZODEVICE_STATUS_PARAMETER_ERROR, kParameterError},
    /* 0x4A */ {ZODEVICE_STATUS_PARAMETER_ERROR, kParameterError},
    /* 0x4B */ {ZODEVICE_STATUS_PARAMETER_ERROR, kParameterError},
    /* 0x4C */ {ZODEVICE_STATUS_PARAMETER_ERROR, kParameterError},
    /* 0x4D */ {ZODEVICE_STATUS_PARAMETER_ERROR, kParameterError},
    /* 0x4E */ {ZODEVICE_STATUS_PARAMETER_ERROR, kParameterError},
    /* 0x4F */ {ZODEVICE_STATUS_PARAMETER_ERROR, kParameterError},
    /* 0x50 */ {ZODEVICE_STATUS_EVENT_MSG_LOOP_ENABLED, kEventMsgLoopEnabled},
    /* 0x51 */ {ZODEVICE_STATUS_EVENT_ERROR, kEventError},
    /* 0x52 */ {ZODEVICE_STATUS_EVENT_ALREADY_ENABLED, kEventAlreadyEnabled},
    /* 0x53 */ {ZODEVICE_STATUS_EVENT_ERROR, kEventError},
    /* 0x54 */ {ZODEVICE_STATUS_EVENT_ERROR, kEventError},
    /* 0x55 */ {ZODEVICE_STATUS_EVENT_ERROR, kEventError},
    /* 0x56 */ {ZODEVICE_STATUS_EVENT_MSG_UNAVAILABLE, kEventMsgUnavailable},
    /* 0x57 */ {ZODEVICE_STATUS_EVENT_MSG_ABORTED, kEventMsgAborted},
    /* 0x58 */ {ZODEVICE_STATUS_EVENT_ERROR, kEventError},
    /* 0x59 */ {ZODEVICE_STATUS_EVENT_ERROR, kEventError},
    /* 0x5A */ {ZODEVICE_STATUS_EVENT_ERROR, kEventError},
    /* 0x5B */ {ZODEVICE_STATUS_EVENT_ERROR, kEventError},
    /* 0x5C */ {ZODEVICE_STATUS_EVENT_ERROR, kEventError},
    /* 0x5D */ {ZODEVICE_STATUS_EVENT_ERROR, kEventError},
    /* 0x5E */ {ZODEVICE_STATUS_EVENT_ERROR, kEventError},
    /* 0x5F */ {ZODEVICE_STATUS_EVENT_ERROR, kEventError},
    /* 0x60 */ {ZODEVICE_STATUS_COMPONENT_ERROR, kComponentError},
    /* 0x61 */ {ZODEVICE_STATUS_COMPONENT_ERROR, kComponentError},
    /* 0x62 */ {ZODEVICE_STATUS_INTERNAL_INCOMPATIBILITY, kInternalIncompatibility},
    /* 0x63 */ {ZODEVICE_STATUS_ENGINE_INCOMPATIBILITY, kEngineIncompatibility},
    /* 0x64 */ {ZODEVICE_STATUS_PLUGIN_INCOMPATIBILITY, kPluginIncompatibility},
    /* 0x65 */ {ZODEVICE_STATUS_UNABLE_TO_LOAD_ENGINE, kUnableToLoadEngine},
    /* 0x66 */ {ZODEVICE_STATUS_UNABLE_TO_LOAD_PLUGIN, kUnableToLoadPlugin},
    /* 0x67 */ {ZODEVICE_STATUS_COMPONENT_ERROR, kComponentError},
    /* 0x68 */ {ZODEVICE_STATUS_COMPONENT_ERROR, kComponentError},
    /* 0x69 */ {ZODEVICE_STATUS_COMPONENT_ERROR, kComponentError},
    /* 0x6A */ {ZODEVICE_STATUS_COMPONENT_ERROR, kComponentError},
    /* 0x6B */ {ZODEVICE_STATUS_COMPONENT_ERROR, kComponentError},
    /* 0x6C */ {ZODEVICE_STATUS_COMPONENT_ERROR, kComponentError},
    /* 0x6D */ {ZODEVICE_STATUS_COMPONENT_ERROR, kComponentError},
    /* 0x6E */ {ZODEVICE_STATUS_COMPONENT_ERROR, kComponentError},
    /* 0x6F */ {ZODEVICE_STATUS_COMPONENT_ERROR, kComponentError},
    /* 0x70 */ {ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID, kDeviceSettingsInvalid},
    /* 0x71 */ {ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID, kDeviceSettingsInvalid},
    /* 0x72 */ {ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID, kDeviceSettingsInvalid},
    /* 0x73 */ {ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID, kDeviceSettingsInvalid},
    /* 0x74 */ {ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID, kDeviceSettingsInvalid},
    /* 0x75 */ {ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID, kDeviceSettingsInvalid},
    /* 0x76 */ {ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID, kDeviceSettingsInvalid},
    /* 0x77 */ {ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID, kDeviceSettingsInvalid},
    /* 0x78 */ {ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID, kDeviceSettingsInvalid},
    /* 0x79 */ {ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID, kDeviceSettingsInvalid},
    /* 0x7A */ {ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID, kDeviceSettingsInvalid},
    /* 0x7B */ {ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID, kDeviceSettingsInvalid},
    /* 0x7C */ {ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID, kDeviceSettingsInvalid},
    /* 0x7D */ {ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID, kDeviceSettingsInvalid},
    /* 0x7E */ {ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID, kDeviceSettingsInvalid},
    /* 0x7F */ {ZODEVICE_STATUS_DEVICE_SETTINGS_INVALID, kDeviceSettingsInvalid},
    /* 0x80 */ {ZODEVICE_STATUS_GPIB_PLUGIN_ERROR, kGpibPluginError},
    /* 0x81 */ {ZODEVICE_STATUS_GPIB_PLUGIN_ERROR, kGpibPluginError},
    /* 0x82 */ {ZODEVICE_STATUS_GPIB_PLUGIN_ERROR, kGpibPluginError},
    /* 0x83 */ {ZODEVICE_STATUS_GPIB_PLUGIN_ERROR, kGpibPluginError},
    /* 0x84 */ {ZODEVICE_STATUS_GPIB_PLUGIN_ERROR, kGpibPluginError},
    /* 0x85 */ {ZODEVICE_STATUS_GPIB_PLUGIN_ERROR, kGpibPluginError},
    /* 0x86 */ {ZODEVICE_STATUS_GPIB_PLUGIN_ERROR, kGpibPluginError},
    /* 0x87 */ {ZODEVICE_STATUS_GPIB_PLUGIN_ERROR, kGpibPluginError},
    /* 0x88 */ {ZODEVICE_STATUS_GPIB_PLUGIN_ERROR, kGpibPluginError},
    /* 0x89 */ {ZODEVICE_STATUS_GPIB_PLUGIN_ERROR, kGpibPluginError},
    /* 0x8A */ {ZODEVICE_STATUS_GPIB_PLUGIN_ERROR, kGpibPluginError},
    /* 0x8B */ {ZODEVICE_STATUS_GPIB_PLUGIN_ERROR, kGpibPluginError},
    /* 0x8C */ {ZODEVICE_STATUS_GPIB_PLUGIN_ERROR, kGpibPluginError},
    /* 0x8D */ {ZODEVICE_STATUS_GPIB_PLUGIN_ERROR, kGpibPluginError},
    /* 0x8E */ {ZODEVICE_STATUS_GPIB_PLUGIN_ERROR, kGpibPluginError},
    /* 0x8F */ {ZODEVICE_STATUS_GPIB_PLUGIN_ERROR, kGpibPluginError},
    /* 0x90 */ {ZODEVICE_STATUS_TCPIP_PLUGIN_ERROR, kTcpipPluginError},
    /* 0x91 */ {ZODEVICE_STATUS_TCPIP_PLUGIN_ERROR, kTcpipPluginError},
    /* 0x92 */ {ZODEVICE_STATUS_TCPIP_PLUGIN_ERROR, kTcpipPluginError},
    /* 0x93 */ {ZODEVICE_STATUS_PORTMAPPER_NOT_PRESENT, kPortmapperNotPresent},
    /* 0x94 */ {ZODEVICE_STATUS_SOCKET_ERROR, kSocketError},
    /* 0x95 */ {ZODEVICE_STATUS_TCPIP_PLUGIN_ERROR, kTcpipPluginError},
    /* 0x96 */ {ZODEVICE_STATUS_TCPIP_PLUGIN_ERROR, kTcpipPluginError},
    /* 0x97 */ {ZODEVICE_STATUS_TCPIP_PLUGIN_ERROR, kTcpipPluginError},
    /* 0x98 */ {ZODEVICE_STATUS_TCPIP_PLUGIN_ERROR, kTcpipPluginError},
    /* 0x99 */ {ZODEVICE_STATUS_TCPIP_PLUGIN_ERROR, kTcpipPluginError},
    /* 0x9A */ {ZODEVICE_STATUS_TCPIP_PLUGIN_ERROR, kTcpipPluginError},
    /* 0x9B */ {ZODEVICE_STATUS_TCPIP_PLUGIN_ERROR, kTcpipPluginError},
    /* 0x9C */ {ZODEVICE_STATUS_TCPIP_PLUGIN_ERROR, kTcpipPluginError},
    /* 0x9D */ {ZODEVICE_STATUS_TCPIP_PLUGIN_ERROR, kTcpipPluginError},
    /* 0x9E */ {ZODEVICE_STATUS_TCPIP_PLUGIN_ERROR, kTcpipPluginError},
    /* 0x9F */ {ZODEVICE_STATUS_TCPIP_PLUGIN_ERROR, kTcpipPluginError},
    /* 0xA0 */ {ZODEVICE_STATUS_USB_PLUGIN_ERROR, kUsbPluginError},
    /* 0xA1 */ {ZODEVICE_STATUS_USB_PLUGIN_ERROR, kUsbPluginError},
    /* 0xA2 */ {ZODEVICE_STATUS_USB_PLUGIN_ERROR, kUsbPluginError},
    /* 0xA3 */ {ZODEVICE_STATUS_USB_PLUGIN_ERROR, kUsbPluginError},
    /* 0xA4 */ {ZODEVICE_STATUS_USB_PLUGIN_ERROR, kUsbPluginError},
    /* 0xA5 */ {ZODEVICE_STATUS_USB_PLUGIN_ERROR, kUsbPluginError},
    /* 0xA6 */ {ZODEVICE_STATUS_USB_PLUGIN_ERROR, kUsbPluginError},
    /* 0xA7 */ {ZODEVICE_STATUS_USB_PLUGIN_ERROR, kUsbPluginError},
    /* 0xA8 */ {ZODEVICE_STATUS_USB_PLUGIN_ERROR, kUsbPluginError},
    /* 0xA9 */ {ZODEVICE_STATUS_USB_PLUGIN_ERROR, kUsbPluginError},
    /* 0xAA */ {ZODEVICE_STATUS_USB_PLUGIN_ERROR, kUsbPluginError},
    /* 0xAB */ {ZODEVICE_STATUS_USB_PLUGIN_ERROR, kUsbPluginError},
    /* 0xAC */ {ZODEVICE_STATUS_USB_PLUGIN_ERROR, kUsbPluginError},
    /* 0xAD */ {ZODEVICE_STATUS_USB_PLUGIN_ERROR, kUsbPluginError},
    /* 0xAE */ {ZODEVICE_STATUS_USB_PLUGIN_ERROR, kUsbPluginError},
    /* 0xAF */ {ZODEVICE_STATUS_USB_PLUGIN_ERROR, kUsbPluginError},
    /* 0xB0 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xB1 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xB2 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xB3 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xB4 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xB5 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xB6 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xB7 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xB8 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xB9 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xBA */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xBB */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xBC */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xBD */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xBE */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xBF */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xC0 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xC1 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xC2 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xC3 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xC4 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xC5 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xC6 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xC7 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xC8 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xC9 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xCA */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xCB */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xCC */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xCD */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xCE */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xCF */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xD0 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xD1 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xD2 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xD3 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xD4 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xD5 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xD6 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xD7 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xD8 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xD9 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xDA */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xDB */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xDC */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xDD */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xDE */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xDF */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xE0 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xE1 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xE2 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xE3 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xE4 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xE5 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xE6 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xE7 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xE8 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xE9 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xEA */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xEB */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xEC */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xED */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xEE */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xEF */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xF0 */ {ZODEVICE_STATUS_INSUFFICIENT_MEMORY, kInsufficientMemory},
    /* 0xF1 */ {ZODEVICE_STATUS_OUT_OF_RESOURCES, kOutOfResources},
    /* 0xF2 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xF3 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xF4 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xF5 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xF6 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xF7 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xF8 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xF9 */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xFA */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xFB */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xFC */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xFD */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xFE */ {ZODEVICE_STATUS_UNKNOWN, kUnknown},
    /* 0xFF */ {ZODEVICE_STATUS_DRIVER_FAULT, kDriverFault},
};
// clang-format on

ZODEVICE_STATUS publish(std::uint32_t status) {
    if (status == 0) {
        return 0;
    }
    return kStatusTable[status & 0xFFu].code;
}

const char* statusText(ZODEVICE_STATUS code) {
    if (code == 0) {
        return "";
    }
    return kStatusTable[code & 0xFFu].text;
}
