// The panel's page: web/index.html with web/panel.css and web/panel.js put in
// place, built into the binary by embed_page.cmake, so that it needs neither
// files nor the network at run time.
#pragma once

#include <cstddef>

namespace brivant::tool {

extern const char* const kPanelPage;
extern const std::size_t kPanelPageSize;

} // namespace brivant::tool
