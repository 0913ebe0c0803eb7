// Opening the panel's address in the user's browser.
#pragma once

#include <string>

namespace brivant::tool {

// Asks the desktop to open `url`; false when it could not be asked (the
// address is printed anyway).
bool openInBrowser(const std::string& url);

} // namespace brivant::tool
