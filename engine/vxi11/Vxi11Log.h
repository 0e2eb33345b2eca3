// The VXI-11 server's log: one printf-style line per call, handed to the sink the
// application installed (vxi11_set_log_sink), else written to standard error. Lines name
// their origin ("CInstrumentServerManager::Run, ...").
#pragma once

void Vxi11Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
