#include "Host/acquisition/AcqExceptions.h"

#include <utility>

namespace Korvex {

const char* const AcqLocationFile = "src/Host/CKorvexHostAcquisition.cpp";

std::string AcqLocation(unsigned line) {
    return std::string(AcqLocationFile) + ":" + std::to_string(line);
}

CAcqException::CAcqException(std::string text) : CKorvexException(std::move(text)) {}
CAcqException::~CAcqException() = default;

CAcqError::CAcqError(std::int32_t error)
    : CAcqException("HostAcq encountered an error.\n"), m_error(error) {}

CAcqError::CAcqError(std::int32_t error, const std::string& location)
    : CAcqException("HostAcq encountered an error at: " + location + ".\n"), m_error(error) {}

CAcqError::~CAcqError() = default;

CAbortException::CAbortException(kernel::Semaphore* completion)
    : CAcqException("HostAcq was asked to abort.\n"), m_completion(completion) {}

CAbortException::~CAbortException() = default;

CFatalAcqException::CFatalAcqException(const std::string& location)
    : CKorvexException("HostAcq fatal exception at: " + location + ".\n") {}

CFatalAcqException::~CFatalAcqException() = default;

CCOFFParserException::CCOFFParserException(std::string text)
    : CKorvexException(std::move(text)) {}

CCOFFParserException::~CCOFFParserException() = default;

CDSPIFException::CDSPIFException()
    : CKorvexException("The DSP Interface has received an unforeseen event.\n") {}

CDSPIFException::~CDSPIFException() = default;

CDSPNotBootedException::CDSPNotBootedException()
    : CKorvexException("The DSP Interface has been asked to perform an operation while not booted.\n") {}

CDSPNotBootedException::~CDSPNotBootedException() = default;

}  // namespace Korvex
