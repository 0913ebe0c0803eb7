// The panel's access token: 128 bits from the operating system's random
// source, as 32 hex digits.
#pragma once

#include <string>

namespace brivant::tool {

// Throws std::runtime_error when the system gives no random bytes.
std::string randomToken();

// Compares in time that does not depend on where the texts differ.
bool sameToken(const std::string& given, const std::string& token);

} // namespace brivant::tool
