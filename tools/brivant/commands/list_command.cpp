// list: the unit IDs present, found by opening and closing each ID in turn.
#include <algorithm>
#include <memory>
#include <vector>

#include <nlohmann/json.hpp>

#include "util/backend_info.h"
#include "brivant.hpp"
#include "client/serve_client.h"
#include "commands/commands.h"
#include "util/tool_errors.h"
#ifndef _WIN32
#include "commands/usb_report.h"
#endif

namespace brivant::tool {

namespace {

int runList(bool json, Console& console) {
    std::vector<std::int16_t> found;
    const std::vector<std::int16_t> held = ServeClient::heldUnits();
    for (std::int16_t id = 0; id <= 15; ++id) {
        if (std::find(held.begin(), held.end(), id) != held.end()) {
            // Claimed by a serve: present there, whatever an open here says.
            if (ServeClient* serve = ServeClient::forUnit(id, console)) {
                Counts counts;
                if (serve->read(id, counts) == RC_OK) {
                    found.push_back(id);
                }
            }
            continue;
        }
        std::int16_t rc = Brivant_Device_Open(id);
        if (rc == RC_OK) {
            Brivant_Device_Close(id);
            found.push_back(id);
        } else if (rc == RC_TOO_MANY_UNITS) {
            // Every open refuses alike: nothing can be told about any ID.
            throw Error(toErrorCode(rc), "brivant list");
        } else if (rc != RC_ID_NOT_FOUND) {
            console.error("brivant: unit " + std::to_string(id) +
                          " is there but could not be opened: " + resultMessage(rc));
        }
    }
    std::string text;
    if (json) {
        nlohmann::ordered_json units = nlohmann::ordered_json::array();
        for (std::int16_t id : found) {
            units.push_back({{"id", id}});
        }
        text = nlohmann::ordered_json{{"backend", ServeClient::backendOf(found)}, {"units", units}}.dump() +
               '\n';
    } else {
        for (std::int16_t id : found) {
            text += std::to_string(id) + '\n';
        }
    }
    console.out.write(text);
    if (!json) {
        console.error("brivant: backend: " + backendDescription());
    }
    if (found.empty()) {
        console.error("brivant: no unit found");
    }
#ifndef _WIN32
    // On real USB, say why a unit is missing: which devices were looked at,
    // which are units, and which cannot be opened.
    std::string report = usbReport(usb::surveyUsb(), found.empty());
    if (!report.empty()) {
        report.pop_back(); // error() ends the line itself
        console.error(report);
    }
#endif
    return kExitOk;
}

} // namespace

void addListCommand(CLI::App& app, CommandContext& context) {
    auto json = std::make_shared<bool>(false);
    CLI::App* list = app.add_subcommand(
        "list", "print the IDs of the units present, one a line");
    list->footer("Found by opening and closing each ID from 0 to 15. Standard error names the\n"
                 "backend, and says so when none is found (exit status 0 all the same). On Linux\n"
                 "with real units it also tells there which USB devices it looked at and which\n"
                 "units cannot be opened, and why.");
    list->add_flag("--json", *json,
                   "print {\"backend\": \"sim\" or \"usb\", \"units\": [{\"id\": 0}, ...]}");
    selectOnParse(list, context, [json, &context] { return runList(*json, context.console); });
}

} // namespace brivant::tool
