// Exceptions of the acquisition controller, the DSP program loader and the DSP link.
//  - CAcqError: an acquisition step failed with an eError code; the measurement ends.
//  - CAbortException: an abort was requested; the measurement ends quietly.
//  - CFatalAcqException: the DSP link is no longer trustworthy; the system flow restarts
//    from the DSP program load.
// All are thrown by value and caught by reference.
#pragma once

#include <cstdint>
#include <string>

#include "Host/parameters/KorvexException.h"
#include "platform/kernel/Kernel.h"

namespace Korvex {

// Location of a throwing place of the acquisition controller: the controller's source path,
// ":" and the line of that place (the lines below). The texts carrying it are logged and
// identify the place, so they do not follow this build's own file and line numbers.
extern const char* const AcqLocationFile;  // "src/Host/CKorvexHostAcquisition.cpp"
std::string AcqLocation(unsigned line);

// Lines of the throwing places of CFatalAcqException.
enum eAcqFatalLine : unsigned {
    eFatalWaitSelect = 345,            // select failed or reported no watched descriptor
    eFatalAbortMailboxNotOpen = 764,
    eFatalMessageMailboxNotOpen = 765,
    eFatalDspIntNotOpen = 766,
    eFatalDspLoad = 873,               // DSP program load failed
    eFatalNoDspInterrupt = 886,        // no DSP interrupt within 1000 ms after the load
    eFatalSystemReady = 892,           // receiving SYSTEM_READY failed
    eFatalDspVersion = 905,            // DSP firmware version is not 2.5
    eFatalCpldVersion = 913,           // CPLD version is not 1.8
    eFatalSystemFlow = 936,            // any CAcqException that reached the system flow
    eFatalIdleHeartbeat = 993,         // heartbeat blocked while TriggerFlow was idle
    eFatalIdleDspInterrupt = 1014,     // a DSP interrupt while TriggerFlow was idle
    eFatalTriggerSource = 1379,        // a trigger source other than the accepted ones
    eFatalConfirmHeartbeat = 1492,     // heartbeat blocked during ConfirmFrequency
    eFatalSearchHeartbeat = 1585,      // heartbeat blocked during the frequency search
    eFatalMeasureHeartbeat = 1698,     // heartbeat blocked during a measurement
    eFatalAbortSend = 1750,            // sending ABORT failed (after one retry)
    eFatalAbortNoReply = 1752,         // ABORT not answered within 1000 ms (after one retry)
    eFatalAbortReceive = 1755,         // receiving the ABORT reply failed (after one retry)
};

class CAcqException : public CKorvexException {
public:
    explicit CAcqException(std::string text);
    ~CAcqException() override;

    virtual bool IsError() const = 0;
    virtual bool IsAbort() const = 0;
};

class CAcqError : public CAcqException {
public:
    // "HostAcq encountered an error.\n"
    explicit CAcqError(std::int32_t error);
    // "HostAcq encountered an error at: " + location + ".\n"
    CAcqError(std::int32_t error, const std::string& location);
    ~CAcqError() override;

    bool IsError() const override { return true; }
    bool IsAbort() const override { return false; }
    std::int32_t Error() const { return m_error; }

private:
    std::int32_t m_error;
};

class CAbortException : public CAcqException {
public:
    // "HostAcq was asked to abort.\n"; the semaphore to post once the abort is done, or null.
    explicit CAbortException(kernel::Semaphore* completion);
    ~CAbortException() override;

    bool IsError() const override { return false; }
    bool IsAbort() const override { return true; }
    kernel::Semaphore* Completion() const { return m_completion; }

private:
    kernel::Semaphore* m_completion;
};

class CFatalAcqException : public CKorvexException {
public:
    // "HostAcq fatal exception at: " + location + ".\n"
    explicit CFatalAcqException(const std::string& location);
    ~CFatalAcqException() override;
};

// A COFF format or load failure of the DSP program loader, with its message.
class CCOFFParserException : public CKorvexException {
public:
    explicit CCOFFParserException(std::string text);
    ~CCOFFParserException() override;
};

// The DSP link met an event its state does not foresee.
class CDSPIFException : public CKorvexException {
public:
    // "The DSP Interface has received an unforeseen event.\n"
    CDSPIFException();
    ~CDSPIFException() override;
};

// The DSP link was used while the DSP program is not running.
class CDSPNotBootedException : public CKorvexException {
public:
    // "The DSP Interface has been asked to perform an operation while not booted.\n"
    CDSPNotBootedException();
    ~CDSPNotBootedException() override;
};

}  // namespace Korvex
