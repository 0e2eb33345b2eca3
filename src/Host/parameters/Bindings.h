// The settings-node bindings: one global node pointer per fixed settings path, looked up
// once from the root after every full-tree settings load. Users read the pointer without a
// lock and take the tree lock for the node's contents.
#pragma once

#include <cstdint>

namespace Korvex {

class CParameterNode;

// ---- system ----
extern CParameterNode* g_pSystemManufacturer;       // system/manufacturer
extern CParameterNode* g_pSystemModel;              // system/model
extern CParameterNode* g_pSystemSerialNo;           // system/serial_no
extern CParameterNode* g_pSystemManufDate;          // system/manuf_date
extern CParameterNode* g_pSystemCalibDate;          // system/calib_date
extern CParameterNode* g_pEepromVersion;            // system/eeprom/version
extern CParameterNode* g_pEepromDateCreated;        // system/eeprom/date_created
extern CParameterNode* g_pEepromTimeCreated;        // system/eeprom/time_created
extern CParameterNode* g_pVersionsHardware;         // system/versions/hardware
extern CParameterNode* g_pVersionsArmFirmware;      // system/versions/arm_firmware
extern CParameterNode* g_pVersionsDspFirmware;      // system/versions/dsp_firmware
extern CParameterNode* g_pVersionsCpld;             // system/versions/cpld
extern CParameterNode* g_pVersionsParmFile;         // system/versions/parm_file
extern CParameterNode* g_pRfMinFreq;                // system/rf/min_freq
extern CParameterNode* g_pRfMaxFreq;                // system/rf/max_freq
extern CParameterNode* g_pAcquisitionShortDuration; // system/acquisition/short_duration
extern CParameterNode* g_pSystemEsa;                // system/esa
extern CParameterNode* g_pUsbVendorId;              // system/usb/vendor_id
extern CParameterNode* g_pUsbProductId;             // system/usb/product_id
extern CParameterNode* g_pUsbVersion;               // system/usb/version
extern CParameterNode* g_pUsbVersionBcd;            // system/usb/version_bcd
extern CParameterNode* g_pTemperatureCurrentValue;  // system/temperature/current_value
extern CParameterNode* g_pTemperatureUpdateInterval;// system/temperature/update_interval
extern CParameterNode* g_pTemperatureShutdownLimit; // system/temperature/shutdown_limit

// ---- host_if ----
extern CParameterNode* g_pStatusEse;                // host_if/status/ESE
extern CParameterNode* g_pStatusSre;                // host_if/status/SRE
extern CParameterNode* g_pStatusOper;               // host_if/status/OPER
extern CParameterNode* g_pStatusQues;               // host_if/status/QUES
extern CParameterNode* g_pStatusBit11;              // host_if/status/BIT11
extern CParameterNode* g_pStatusBit12;              // host_if/status/BIT12
extern CParameterNode* g_pStatusQuesBit12;          // host_if/status/QUESBIT12
extern CParameterNode* g_pEthernetActive;           // host_if/communication/ethernet_active
extern CParameterNode* g_pNbnsActive;               // host_if/communication/nbns_active
extern CParameterNode* g_pVxi11Object;              // host_if/communication/vxi11_object
extern CParameterNode* g_pUsbtmcObject;             // host_if/communication/usbtmc_object
extern CParameterNode* g_pModbusObject;             // host_if/communication/modbus_object
extern CParameterNode* g_pParametersFormat;         // host_if/parameters/format
extern CParameterNode* g_pParametersLock;           // host_if/parameters/lock
extern CParameterNode* g_pScpiParserObject;         // host_if/scpi_parser/object

// ---- current_probe, unit_conversion, ref_clock ----
extern CParameterNode* g_pCurrentChannelList;       // current_probe/current_channel_list
extern CParameterNode* g_pCurrentProbeObject;       // current_probe/object
extern CParameterNode* g_pNmrPathBroken;            // current_probe/nmr_path_broken
extern CParameterNode* g_pNominalPGyroRatio;        // unit_conversion/nominal_p_gyro_ratio
extern CParameterNode* g_pExternalClockDetected;    // ref_clock/external_detected
extern CParameterNode* g_pExternalClockLocked;      // ref_clock/external_locked

// ---- results ----
extern CParameterNode* g_pResultsSize;              // results/size
extern CParameterNode* g_pFluxDigits;               // results/flux/digits
extern CParameterNode* g_pFluxExpectedValue;        // results/flux/expected_value
extern CParameterNode* g_pSigmaDigits;              // results/sigma/digits
extern CParameterNode* g_pUniformityDigits;         // results/uniformity/digits

// ---- intermediate_results ----
extern CParameterNode* g_pNmrSignalSize;            // intermediate_results/nmr_signal/size
extern CParameterNode* g_pNmrSignalLength;          // intermediate_results/nmr_signal/length
extern CParameterNode* g_pNmrSignalSamplePeriod;    // intermediate_results/nmr_signal/sample_period
extern CParameterNode* g_pFftBufferSize;            // intermediate_results/fft_buffer/size
extern CParameterNode* g_pFftBufferLength;          // intermediate_results/fft_buffer/length
extern CParameterNode* g_pFftBufferResolution;      // intermediate_results/fft_buffer/resolution
extern CParameterNode* g_pFftBufferNoiseFloor;      // intermediate_results/fft_buffer/noise_floor
extern CParameterNode* g_pPeakSpectrumSize;         // intermediate_results/peak_spectrum/size
extern CParameterNode* g_pPeakSpectrumLength;       // intermediate_results/peak_spectrum/length
extern CParameterNode* g_pPeakSpectrumResolution;   // intermediate_results/peak_spectrum/resolution
extern CParameterNode* g_pPeakSpectrumCenterFrequency;  // intermediate_results/peak_spectrum/center_frequency
extern CParameterNode* g_pFitCoeffsSize;            // intermediate_results/fit_coeffs/size
extern CParameterNode* g_pFitCoeffsLength;          // intermediate_results/fit_coeffs/length
extern CParameterNode* g_pFitCoeffsResidue;         // intermediate_results/fit_coeffs/residue
extern CParameterNode* g_pIfFrequency;              // intermediate_results/if_frequency
extern CParameterNode* g_pRelaxationTime;           // intermediate_results/relaxation_time
extern CParameterNode* g_pRfFrequency;              // intermediate_results/rf_frequency

// ---- peripherals ----
extern CParameterNode* g_pPeripherals;              // peripherals

// ---- comm_parms (class COMMunication) ----
extern CParameterNode* g_pCommParms;                // comm_parms
extern CParameterNode* g_pEthernetEnabled;          // comm_parms/ethernet/enabled
extern CParameterNode* g_pEthernetAutoAddress;      // comm_parms/ethernet/auto_address
extern CParameterNode* g_pEthernetIpAddress;        // comm_parms/ethernet/ip_address
extern CParameterNode* g_pEthernetNetMask;          // comm_parms/ethernet/net_mask
extern CParameterNode* g_pEthernetBroadcast;        // comm_parms/ethernet/broadcast
extern CParameterNode* g_pEthernetGateway;          // comm_parms/ethernet/gateway
extern CParameterNode* g_pEthernetDnsServer;        // comm_parms/ethernet/dns_server
extern CParameterNode* g_pEthernetDomain;           // comm_parms/ethernet/domain
extern CParameterNode* g_pEthernetId;               // comm_parms/ethernet/id
extern CParameterNode* g_pNbnsEnabled;              // comm_parms/nbns/enabled
extern CParameterNode* g_pVxi11Enabled;             // comm_parms/vxi11/enabled
extern CParameterNode* g_pUsbtmcEnabled;            // comm_parms/usbtmc/enabled
extern CParameterNode* g_pModbusEnabled;            // comm_parms/modbus/enabled
extern CParameterNode* g_pModbusMaxConnections;     // comm_parms/modbus/max_connections
extern CParameterNode* g_pModbusAuthList;           // comm_parms/modbus/auth_list
extern CParameterNode* g_pModbusUseFloat32;         // comm_parms/modbus/use_float32

// ---- measure_parms (class MEASure) ----
extern CParameterNode* g_pMeasureParms;             // measure_parms
extern CParameterNode* g_pSearchMode;               // measure_parms/search/mode
extern CParameterNode* g_pSearchLow;                // measure_parms/search/low
extern CParameterNode* g_pSearchHigh;               // measure_parms/search/high
extern CParameterNode* g_pSearchValue;              // measure_parms/search/value
extern CParameterNode* g_pSearchLevel;              // measure_parms/search/level
extern CParameterNode* g_pSearchFstep;              // measure_parms/search/fstep
extern CParameterNode* g_pSearchHallEnabled;        // measure_parms/search/hall_enabled
extern CParameterNode* g_pMeasurementMode;          // measure_parms/measurement/mode
extern CParameterNode* g_pMeasurementLevel;         // measure_parms/measurement/level
extern CParameterNode* g_pMeasurementReject;        // measure_parms/measurement/reject
extern CParameterNode* g_pMeasurementBandwidth;     // measure_parms/measurement/bandwidth
extern CParameterNode* g_pMeasurementPoints;        // measure_parms/measurement/points
extern CParameterNode* g_pMeasurementHysteresis;    // measure_parms/measurement/hysteresis
extern CParameterNode* g_pSignalAveragingActive;    // measure_parms/averaging/signal/active
extern CParameterNode* g_pSignalAveragingCount;     // measure_parms/averaging/signal/count
extern CParameterNode* g_pSignalAveragingType;      // measure_parms/averaging/signal/type
extern CParameterNode* g_pMeasurementAveragingActive;// measure_parms/averaging/measurement/active
extern CParameterNode* g_pMeasurementAveragingCount;// measure_parms/averaging/measurement/count
extern CParameterNode* g_pMeasurementAveragingType; // measure_parms/averaging/measurement/type
extern CParameterNode* g_pProbeMatchingTuningMode;  // measure_parms/probe/matching_tuning_mode
extern CParameterNode* g_pProbeMatching;            // measure_parms/probe/matching
extern CParameterNode* g_pProbeTuning;              // measure_parms/probe/tuning
extern CParameterNode* g_pPulseMode;                // measure_parms/pulse/mode
extern CParameterNode* g_pPulseWidth;               // measure_parms/pulse/width
extern CParameterNode* g_pPulsePeriod;              // measure_parms/pulse/period
extern CParameterNode* g_pSampleMode;               // measure_parms/sample/mode
extern CParameterNode* g_pSampleLength;             // measure_parms/sample/length
extern CParameterNode* g_pSampleOffset;             // measure_parms/sample/offset
extern CParameterNode* g_pSampleRate;               // measure_parms/sample/rate
extern CParameterNode* g_pTrackingMinFreq;          // measure_parms/tracking/min_freq
extern CParameterNode* g_pTrackingMaxFreq;          // measure_parms/tracking/max_freq
extern CParameterNode* g_pTrackingHysteresis;       // measure_parms/tracking/hysteresis

// ---- trigger_parms (class TRIGger) ----
extern CParameterNode* g_pTriggerParms;             // trigger_parms
extern CParameterNode* g_pTriggerInSource;          // trigger_parms/trigger_in/source
extern CParameterNode* g_pTriggerInSlope;           // trigger_parms/trigger_in/slope
extern CParameterNode* g_pTriggerInCount;           // trigger_parms/trigger_in/count
extern CParameterNode* g_pTriggerInContinuous;      // trigger_parms/trigger_in/continuous
extern CParameterNode* g_pTriggerInTimer;           // trigger_parms/trigger_in/timer
extern CParameterNode* g_pTriggerOutState;          // trigger_parms/trigger_out/state
extern CParameterNode* g_pTriggerOutShape;          // trigger_parms/trigger_out/shape
extern CParameterNode* g_pTriggerOutPolarity;       // trigger_parms/trigger_out/polarity
extern CParameterNode* g_pTriggerOutWidth;          // trigger_parms/trigger_out/width
extern CParameterNode* g_pTriggerOutDelay;          // trigger_parms/trigger_out/delay
extern CParameterNode* g_pTriggerOutLevel;          // trigger_parms/trigger_out/level
extern CParameterNode* g_pTriggerOutSlope;          // trigger_parms/trigger_out/slope

// ---- ref_clock_parms (class REFClk), units_parms (class UNITs) ----
extern CParameterNode* g_pRefClockParms;            // ref_clock_parms
extern CParameterNode* g_pRefClockMode;             // ref_clock_parms/mode
extern CParameterNode* g_pUnitsParms;               // units_parms
extern CParameterNode* g_pUnitsSelected;            // units_parms/selected
extern CParameterNode* g_pUnitsPpmRef;              // units_parms/ppm_ref

// The binding that holds no node: always null. Command-table rows that bind nothing
// point here.
extern CParameterNode* g_pNoNode;

// One bound path (relative to the root) and the global pointer it fills.
struct SettingsBindingRow {
    const char* path;
    CParameterNode** pointer;
};

// Every bound path in lookup order: groups system, host_if, current_probe,
// unit_conversion, ref_clock, results, intermediate_results, peripherals, comm_parms,
// measure_parms, trigger_parms, ref_clock_parms, units_parms; each class root just before
// its own leaves.
constexpr unsigned SettingsBindingCount = 136;
extern const SettingsBindingRow SettingsBindingTable[SettingsBindingCount];

// Looks up every path of the table from the root in order and stores each node in its
// pointer. Returns 0, or the status of the first failing lookup at once: that pointer and
// those after it keep their previous values. Runs at start-up, before the users of the
// pointers exist.
int KorvexBindSettingsNodes();

}  // namespace Korvex
