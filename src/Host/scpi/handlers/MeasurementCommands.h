// The handlers that start, stop and read measurements: ABORt, INITiate and its continuous
// side effect, the FETCh queries, MEASure, READ and CONFigure?. They drive the acquisition
// through CAcquisitionSeam and leave the formatting of results to
// CKorvexHostParser::FormatFetchReply. Failures of the acquisition and probe services are
// thrown as eError and posted by the dispatcher.
#pragma once

#include <cstdint>
#include <vector>

#include "Host/scpi/exec/KorvexChannel.h"
#include "Host/scpi/handlers/CommandHandlers.h"

namespace Korvex {

// The items of CKorvexHostParser::FormatFetchReply (not command numbers).
enum FetchItem : std::uint8_t {
    eFetchFlux = 0,
    eFetchSigma = 1,
    eFetchUniformity = 2,
    eFetchChannel = 3,
    eFetchTimestamp = 4,
    eFetchStatus = 5,
    eFetchIfFrequency = 6,
    eFetchSearchProgress = 7,
    eFetchRelaxation = 8,
    eFetchRfFrequency = 9,
    eFetchNmrSignal = 10,
    eFetchFftBuffer = 11,
    eFetchSpectrum = 12,
    eFetchFit = 13,
};

// 27 ABORt: abort the running measurement; refused: -200 "Execution error".
void AbortCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 97 INITiate[:IMMediate][:ALL]: start a measurement on the selected channels.
void InitiateCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 99 INITiate[:IMMediate]:CONTinuous: ON (already stored) starts a measurement at once.
void InitiateContinuousCommand(CKorvexHostParser& parser, ParsedCommand& command,
                               CKorvexHost& host);
// 75-94 FETCh: the item of the command number, from the results in store.
void FetchQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 102 MEASure[:SCALar][:FLUX]? and 103 MEASure:ARRay[:FLUX]?: modes to their defaults,
// one immediate measurement, its flux.
void MeasureQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 121 READ[:SCALar][:FLUX]? and 122 READ:ARRay[:FLUX]?: as MEASure, keeping the modes.
void ReadQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 34 CONFigure?: the measurement configuration as one item of ":CONF:..." segments.
void ConfigureQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);

// For *OPC, *OPC? and *WAI: when the measurement initiated last is the one of a MEASure? or
// READ? and it still runs (its message was cut by a device clear, or its session ended,
// before it ended), waits for its end, which comes by itself. A device clear of the waiting
// session, or its end, ends the wait: false then, else true. A measurement of INITiate ends
// with its triggers or ABORt: it is not waited for.
bool WaitForMeasureQueryEnd();

// The probe services MEASure and READ call: by default CKorvexPeripheral::RefreshTopology
// and CKorvexPeripheral::SelectChannelFromList. Tests install doubles (null: the defaults).
struct MeasurementProbeServices {
    int (*refreshTopology)(std::vector<CKorvexChannel>& channels);
    int (*selectChannelFromList)(const std::vector<CKorvexChannel>& channels);
};
void SetMeasurementProbeServices(const MeasurementProbeServices* services);

}  // namespace Korvex
