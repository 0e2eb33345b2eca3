#include "Host/parameters/KorvexException.h"

#include <utility>

namespace Korvex {

CKorvexException::CKorvexException(std::string text, std::uint16_t code)
    : m_code(code), m_text(std::move(text)) {}

CKorvexException::~CKorvexException() = default;

const char* CKorvexException::what() const noexcept { return m_text.c_str(); }

}  // namespace Korvex
