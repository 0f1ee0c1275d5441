// Errors of the Jet engine.
//
// Every failure of the engine reaches the caller as a jet::Error whose text a
// user can act on. Decoding code names the table and the page it was reading,
// so a damaged file points at the place where it is damaged.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace jet {

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// The text Jet gives for a wrong or missing database password.
inline constexpr std::string_view kBadPasswordMessage = "Not a valid password.";
// Follows the quoted path of an ACE file marked as encrypted whose
// encryption record the engine cannot read.
inline constexpr std::string_view kOfficeEncryptedMessage =
    "is encrypted in a way this program cannot read.";

// "<what> (table 'T', page N)": the form every decoding error takes.
[[noreturn]] void throw_damaged(std::string_view what, std::string_view table, std::uint32_t page);

}  // namespace jet
