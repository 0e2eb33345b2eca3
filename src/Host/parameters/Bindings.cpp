// The settings-node bindings and their lookup.
#include "Host/parameters/Bindings.h"

#include "Host/parameters/ParameterNode.h"

namespace Korvex {

CParameterNode* g_pSystemManufacturer = nullptr;
CParameterNode* g_pSystemModel = nullptr;
CParameterNode* g_pSystemSerialNo = nullptr;
CParameterNode* g_pSystemManufDate = nullptr;
CParameterNode* g_pSystemCalibDate = nullptr;
CParameterNode* g_pEepromVersion = nullptr;
CParameterNode* g_pEepromDateCreated = nullptr;
CParameterNode* g_pEepromTimeCreated = nullptr;
CParameterNode* g_pVersionsHardware = nullptr;
CParameterNode* g_pVersionsArmFirmware = nullptr;
CParameterNode* g_pVersionsDspFirmware = nullptr;
CParameterNode* g_pVersionsCpld = nullptr;
CParameterNode* g_pVersionsParmFile = nullptr;
CParameterNode* g_pRfMinFreq = nullptr;
CParameterNode* g_pRfMaxFreq = nullptr;
CParameterNode* g_pAcquisitionShortDuration = nullptr;
CParameterNode* g_pSystemEsa = nullptr;
CParameterNode* g_pUsbVendorId = nullptr;
CParameterNode* g_pUsbProductId = nullptr;
CParameterNode* g_pUsbVersion = nullptr;
CParameterNode* g_pUsbVersionBcd = nullptr;
CParameterNode* g_pTemperatureCurrentValue = nullptr;
CParameterNode* g_pTemperatureUpdateInterval = nullptr;
CParameterNode* g_pTemperatureShutdownLimit = nullptr;
CParameterNode* g_pStatusEse = nullptr;
CParameterNode* g_pStatusSre = nullptr;
CParameterNode* g_pStatusOper = nullptr;
CParameterNode* g_pStatusQues = nullptr;
CParameterNode* g_pStatusBit11 = nullptr;
CParameterNode* g_pStatusBit12 = nullptr;
CParameterNode* g_pStatusQuesBit12 = nullptr;
CParameterNode* g_pEthernetActive = nullptr;
CParameterNode* g_pNbnsActive = nullptr;
CParameterNode* g_pVxi11Object = nullptr;
CParameterNode* g_pUsbtmcObject = nullptr;
CParameterNode* g_pModbusObject = nullptr;
CParameterNode* g_pParametersFormat = nullptr;
CParameterNode* g_pParametersLock = nullptr;
CParameterNode* g_pScpiParserObject = nullptr;
CParameterNode* g_pCurrentChannelList = nullptr;
CParameterNode* g_pCurrentProbeObject = nullptr;
CParameterNode* g_pNmrPathBroken = nullptr;
CParameterNode* g_pNominalPGyroRatio = nullptr;
CParameterNode* g_pExternalClockDetected = nullptr;
CParameterNode* g_pExternalClockLocked = nullptr;
CParameterNode* g_pResultsSize = nullptr;
CParameterNode* g_pFluxDigits = nullptr;
CParameterNode* g_pFluxExpectedValue = nullptr;
CParameterNode* g_pSigmaDigits = nullptr;
CParameterNode* g_pUniformityDigits = nullptr;
CParameterNode* g_pNmrSignalSize = nullptr;
CParameterNode* g_pNmrSignalLength = nullptr;
CParameterNode* g_pNmrSignalSamplePeriod = nullptr;
CParameterNode* g_pFftBufferSize = nullptr;
CParameterNode* g_pFftBufferLength = nullptr;
CParameterNode* g_pFftBufferResolution = nullptr;
CParameterNode* g_pFftBufferNoiseFloor = nullptr;
CParameterNode* g_pPeakSpectrumSize = nullptr;
CParameterNode* g_pPeakSpectrumLength = nullptr;
CParameterNode* g_pPeakSpectrumResolution = nullptr;
CParameterNode* g_pPeakSpectrumCenterFrequency = nullptr;
CParameterNode* g_pFitCoeffsSize = nullptr;
CParameterNode* g_pFitCoeffsLength = nullptr;
CParameterNode* g_pFitCoeffsResidue = nullptr;
CParameterNode* g_pIfFrequency = nullptr;
CParameterNode* g_pRelaxationTime = nullptr;
CParameterNode* g_pRfFrequency = nullptr;
CParameterNode* g_pPeripherals = nullptr;
CParameterNode* g_pCommParms = nullptr;
CParameterNode* g_pEthernetEnabled = nullptr;
CParameterNode* g_pEthernetAutoAddress = nullptr;
CParameterNode* g_pEthernetIpAddress = nullptr;
CParameterNode* g_pEthernetNetMask = nullptr;
CParameterNode* g_pEthernetBroadcast = nullptr;
CParameterNode* g_pEthernetGateway = nullptr;
CParameterNode* g_pEthernetDnsServer = nullptr;
CParameterNode* g_pEthernetDomain = nullptr;
CParameterNode* g_pEthernetId = nullptr;
CParameterNode* g_pNbnsEnabled = nullptr;
CParameterNode* g_pVxi11Enabled = nullptr;
CParameterNode* g_pUsbtmcEnabled = nullptr;
CParameterNode* g_pModbusEnabled = nullptr;
CParameterNode* g_pModbusMaxConnections = nullptr;
CParameterNode* g_pModbusAuthList = nullptr;
CParameterNode* g_pModbusUseFloat32 = nullptr;
CParameterNode* g_pMeasureParms = nullptr;
CParameterNode* g_pSearchMode = nullptr;
CParameterNode* g_pSearchLow = nullptr;
CParameterNode* g_pSearchHigh = nullptr;
CParameterNode* g_pSearchValue = nullptr;
CParameterNode* g_pSearchLevel = nullptr;
CParameterNode* g_pSearchFstep = nullptr;
CParameterNode* g_pSearchHallEnabled = nullptr;
CParameterNode* g_pMeasurementMode = nullptr;
CParameterNode* g_pMeasurementLevel = nullptr;
CParameterNode* g_pMeasurementReject = nullptr;
CParameterNode* g_pMeasurementBandwidth = nullptr;
CParameterNode* g_pMeasurementPoints = nullptr;
CParameterNode* g_pMeasurementHysteresis = nullptr;
CParameterNode* g_pSignalAveragingActive = nullptr;
CParameterNode* g_pSignalAveragingCount = nullptr;
CParameterNode* g_pSignalAveragingType = nullptr;
CParameterNode* g_pMeasurementAveragingActive = nullptr;
CParameterNode* g_pMeasurementAveragingCount = nullptr;
CParameterNode* g_pMeasurementAveragingType = nullptr;
CParameterNode* g_pProbeMatchingTuningMode = nullptr;
CParameterNode* g_pProbeMatching = nullptr;
CParameterNode* g_pProbeTuning = nullptr;
CParameterNode* g_pPulseMode = nullptr;
CParameterNode* g_pPulseWidth = nullptr;
CParameterNode* g_pPulsePeriod = nullptr;
CParameterNode* g_pSampleMode = nullptr;
CParameterNode* g_pSampleLength = nullptr;
CParameterNode* g_pSampleOffset = nullptr;
CParameterNode* g_pSampleRate = nullptr;
CParameterNode* g_pTrackingMinFreq = nullptr;
CParameterNode* g_pTrackingMaxFreq = nullptr;
CParameterNode* g_pTrackingHysteresis = nullptr;
CParameterNode* g_pTriggerParms = nullptr;
CParameterNode* g_pTriggerInSource = nullptr;
CParameterNode* g_pTriggerInSlope = nullptr;
CParameterNode* g_pTriggerInCount = nullptr;
CParameterNode* g_pTriggerInContinuous = nullptr;
CParameterNode* g_pTriggerInTimer = nullptr;
CParameterNode* g_pTriggerOutState = nullptr;
CParameterNode* g_pTriggerOutShape = nullptr;
CParameterNode* g_pTriggerOutPolarity = nullptr;
CParameterNode* g_pTriggerOutWidth = nullptr;
CParameterNode* g_pTriggerOutDelay = nullptr;
CParameterNode* g_pTriggerOutLevel = nullptr;
CParameterNode* g_pTriggerOutSlope = nullptr;
CParameterNode* g_pRefClockParms = nullptr;
CParameterNode* g_pRefClockMode = nullptr;
CParameterNode* g_pUnitsParms = nullptr;
CParameterNode* g_pUnitsSelected = nullptr;
CParameterNode* g_pUnitsPpmRef = nullptr;

CParameterNode* g_pNoNode = nullptr;

const SettingsBindingRow SettingsBindingTable[SettingsBindingCount] = {
    {"system/manufacturer", &g_pSystemManufacturer},
    {"system/model", &g_pSystemModel},
    {"system/serial_no", &g_pSystemSerialNo},
    {"system/manuf_date", &g_pSystemManufDate},
    {"system/calib_date", &g_pSystemCalibDate},
    {"system/eeprom/version", &g_pEepromVersion},
    {"system/eeprom/date_created", &g_pEepromDateCreated},
    {"system/eeprom/time_created", &g_pEepromTimeCreated},
    {"system/versions/hardware", &g_pVersionsHardware},
    {"system/versions/arm_firmware", &g_pVersionsArmFirmware},
    {"system/versions/dsp_firmware", &g_pVersionsDspFirmware},
    {"system/versions/cpld", &g_pVersionsCpld},
    {"system/versions/parm_file", &g_pVersionsParmFile},
    {"system/rf/min_freq", &g_pRfMinFreq},
    {"system/rf/max_freq", &g_pRfMaxFreq},
    {"system/acquisition/short_duration", &g_pAcquisitionShortDuration},
    {"system/esa", &g_pSystemEsa},
    {"system/usb/vendor_id", &g_pUsbVendorId},
    {"system/usb/product_id", &g_pUsbProductId},
    {"system/usb/version", &g_pUsbVersion},
    {"system/usb/version_bcd", &g_pUsbVersionBcd},
    {"system/temperature/current_value", &g_pTemperatureCurrentValue},
    {"system/temperature/update_interval", &g_pTemperatureUpdateInterval},
    {"system/temperature/shutdown_limit", &g_pTemperatureShutdownLimit},
    {"host_if/status/ESE", &g_pStatusEse},
    {"host_if/status/SRE", &g_pStatusSre},
    {"host_if/status/OPER", &g_pStatusOper},
    {"host_if/status/QUES", &g_pStatusQues},
    {"host_if/status/BIT11", &g_pStatusBit11},
    {"host_if/status/BIT12", &g_pStatusBit12},
    {"host_if/status/QUESBIT12", &g_pStatusQuesBit12},
    {"host_if/communication/ethernet_active", &g_pEthernetActive},
    {"host_if/communication/nbns_active", &g_pNbnsActive},
    {"host_if/communication/vxi11_object", &g_pVxi11Object},
    {"host_if/communication/usbtmc_object", &g_pUsbtmcObject},
    {"host_if/communication/modbus_object", &g_pModbusObject},
    {"host_if/parameters/format", &g_pParametersFormat},
    {"host_if/parameters/lock", &g_pParametersLock},
    {"host_if/scpi_parser/object", &g_pScpiParserObject},
    {"current_probe/current_channel_list", &g_pCurrentChannelList},
    {"current_probe/object", &g_pCurrentProbeObject},
    {"current_probe/nmr_path_broken", &g_pNmrPathBroken},
    {"unit_conversion/nominal_p_gyro_ratio", &g_pNominalPGyroRatio},
    {"ref_clock/external_detected", &g_pExternalClockDetected},
    {"ref_clock/external_locked", &g_pExternalClockLocked},
    {"results/size", &g_pResultsSize},
    {"results/flux/digits", &g_pFluxDigits},
    {"results/flux/expected_value", &g_pFluxExpectedValue},
    {"results/sigma/digits", &g_pSigmaDigits},
    {"results/uniformity/digits", &g_pUniformityDigits},
    {"intermediate_results/nmr_signal/size", &g_pNmrSignalSize},
    {"intermediate_results/nmr_signal/length", &g_pNmrSignalLength},
    {"intermediate_results/nmr_signal/sample_period", &g_pNmrSignalSamplePeriod},
    {"intermediate_results/fft_buffer/size", &g_pFftBufferSize},
    {"intermediate_results/fft_buffer/length", &g_pFftBufferLength},
    {"intermediate_results/fft_buffer/resolution", &g_pFftBufferResolution},
    {"intermediate_results/fft_buffer/noise_floor", &g_pFftBufferNoiseFloor},
    {"intermediate_results/peak_spectrum/size", &g_pPeakSpectrumSize},
    {"intermediate_results/peak_spectrum/length", &g_pPeakSpectrumLength},
    {"intermediate_results/peak_spectrum/resolution", &g_pPeakSpectrumResolution},
    {"intermediate_results/peak_spectrum/center_frequency", &g_pPeakSpectrumCenterFrequency},
    {"intermediate_results/fit_coeffs/size", &g_pFitCoeffsSize},
    {"intermediate_results/fit_coeffs/length", &g_pFitCoeffsLength},
    {"intermediate_results/fit_coeffs/residue", &g_pFitCoeffsResidue},
    {"intermediate_results/if_frequency", &g_pIfFrequency},
    {"intermediate_results/relaxation_time", &g_pRelaxationTime},
    {"intermediate_results/rf_frequency", &g_pRfFrequency},
    {"peripherals", &g_pPeripherals},
    {"comm_parms", &g_pCommParms},
    {"comm_parms/ethernet/enabled", &g_pEthernetEnabled},
    {"comm_parms/ethernet/auto_address", &g_pEthernetAutoAddress},
    {"comm_parms/ethernet/ip_address", &g_pEthernetIpAddress},
    {"comm_parms/ethernet/net_mask", &g_pEthernetNetMask},
    {"comm_parms/ethernet/broadcast", &g_pEthernetBroadcast},
    {"comm_parms/ethernet/gateway", &g_pEthernetGateway},
    {"comm_parms/ethernet/dns_server", &g_pEthernetDnsServer},
    {"comm_parms/ethernet/domain", &g_pEthernetDomain},
    {"comm_parms/ethernet/id", &g_pEthernetId},
    {"comm_parms/nbns/enabled", &g_pNbnsEnabled},
    {"comm_parms/vxi11/enabled", &g_pVxi11Enabled},
    {"comm_parms/usbtmc/enabled", &g_pUsbtmcEnabled},
    {"comm_parms/modbus/enabled", &g_pModbusEnabled},
    {"comm_parms/modbus/max_connections", &g_pModbusMaxConnections},
    {"comm_parms/modbus/auth_list", &g_pModbusAuthList},
    {"comm_parms/modbus/use_float32", &g_pModbusUseFloat32},
    {"measure_parms", &g_pMeasureParms},
    {"measure_parms/search/mode", &g_pSearchMode},
    {"measure_parms/search/low", &g_pSearchLow},
    {"measure_parms/search/high", &g_pSearchHigh},
    {"measure_parms/search/value", &g_pSearchValue},
    {"measure_parms/search/level", &g_pSearchLevel},
    {"measure_parms/search/fstep", &g_pSearchFstep},
    {"measure_parms/search/hall_enabled", &g_pSearchHallEnabled},
    {"measure_parms/measurement/mode", &g_pMeasurementMode},
    {"measure_parms/measurement/level", &g_pMeasurementLevel},
    {"measure_parms/measurement/reject", &g_pMeasurementReject},
    {"measure_parms/measurement/bandwidth", &g_pMeasurementBandwidth},
    {"measure_parms/measurement/points", &g_pMeasurementPoints},
    {"measure_parms/measurement/hysteresis", &g_pMeasurementHysteresis},
    {"measure_parms/averaging/signal/active", &g_pSignalAveragingActive},
    {"measure_parms/averaging/signal/count", &g_pSignalAveragingCount},
    {"measure_parms/averaging/signal/type", &g_pSignalAveragingType},
    {"measure_parms/averaging/measurement/active", &g_pMeasurementAveragingActive},
    {"measure_parms/averaging/measurement/count", &g_pMeasurementAveragingCount},
    {"measure_parms/averaging/measurement/type", &g_pMeasurementAveragingType},
    {"measure_parms/probe/matching_tuning_mode", &g_pProbeMatchingTuningMode},
    {"measure_parms/probe/matching", &g_pProbeMatching},
    {"measure_parms/probe/tuning", &g_pProbeTuning},
    {"measure_parms/pulse/mode", &g_pPulseMode},
    {"measure_parms/pulse/width", &g_pPulseWidth},
    {"measure_parms/pulse/period", &g_pPulsePeriod},
    {"measure_parms/sample/mode", &g_pSampleMode},
    {"measure_parms/sample/length", &g_pSampleLength},
    {"measure_parms/sample/offset", &g_pSampleOffset},
    {"measure_parms/sample/rate", &g_pSampleRate},
    {"measure_parms/tracking/min_freq", &g_pTrackingMinFreq},
    {"measure_parms/tracking/max_freq", &g_pTrackingMaxFreq},
    {"measure_parms/tracking/hysteresis", &g_pTrackingHysteresis},
    {"trigger_parms", &g_pTriggerParms},
    {"trigger_parms/trigger_in/source", &g_pTriggerInSource},
    {"trigger_parms/trigger_in/slope", &g_pTriggerInSlope},
    {"trigger_parms/trigger_in/count", &g_pTriggerInCount},
    {"trigger_parms/trigger_in/continuous", &g_pTriggerInContinuous},
    {"trigger_parms/trigger_in/timer", &g_pTriggerInTimer},
    {"trigger_parms/trigger_out/state", &g_pTriggerOutState},
    {"trigger_parms/trigger_out/shape", &g_pTriggerOutShape},
    {"trigger_parms/trigger_out/polarity", &g_pTriggerOutPolarity},
    {"trigger_parms/trigger_out/width", &g_pTriggerOutWidth},
    {"trigger_parms/trigger_out/delay", &g_pTriggerOutDelay},
    {"trigger_parms/trigger_out/level", &g_pTriggerOutLevel},
    {"trigger_parms/trigger_out/slope", &g_pTriggerOutSlope},
    {"ref_clock_parms", &g_pRefClockParms},
    {"ref_clock_parms/mode", &g_pRefClockMode},
    {"units_parms", &g_pUnitsParms},
    {"units_parms/selected", &g_pUnitsSelected},
    {"units_parms/ppm_ref", &g_pUnitsPpmRef},
};

int KorvexBindSettingsNodes()
{
    for (const SettingsBindingRow& row : SettingsBindingTable) {
        CParameterNode* node = nullptr;
        const int status = CParameterNode::Find(ParameterTreeRoot, row.path, &node);
        if (status != 0) return status;
        *row.pointer = node;
    }
    return 0;
}

}  // namespace Korvex
