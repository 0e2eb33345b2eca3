// Root of the instrument's exception classes: a 16-bit code and a message text.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace Korvex {

class CKorvexException : public std::exception {
public:
    explicit CKorvexException(std::string text, std::uint16_t code = 0);
    ~CKorvexException() override;

    // The message text, unchanged.
    const char* what() const noexcept override;
    std::uint16_t Code() const { return m_code; }

private:
    std::uint16_t m_code;
    std::string m_text;
};

}  // namespace Korvex
