// service (Windows): serve as a Windows service, for users who do not use
// the installer, and `service run`, what the service manager starts.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "client/runtime_file.h"
#include "commands/commands.h"
#include "serve/windows_service.h"
#include "station/station_file.h"
#include "util/bounded_log.h"
#include "util/tool_errors.h"

namespace brivant::tool {

namespace {

constexpr std::uint64_t kLogBound = 10 * 1024 * 1024; // and as much again in serve.log.1

std::string fullPath(const std::string& path) {
    char full[MAX_PATH * 4];
    const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return n > 0 && n < sizeof full ? std::string(full, n) : path;
}

std::string thisProgram() {
    char path[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n);
}

std::string logFolder() {
    return programDataFolder() + "\\logs";
}

// Brivant\ and logs\ before the log opens; state\ and run\ before serve.
// A folder that is not the service's own is refused, never written into;
// so are logs\, state\ and run\ when what they hold is not. The top
// folder holds the station file, which the service only reads, and
// whatever else an administrator keeps beside it.
std::string prepareFolders(const ServiceSettings& settings, std::vector<std::string> folders) {
    std::string warnings;
    for (const std::string& folder : folders) {
        const std::string problem = prepareServiceFolder(folder, settings.group, folder != programDataFolder());
        if (!problem.empty()) {
            warnings += (warnings.empty() ? "" : "; ") + problem;
        }
    }
    return warnings;
}

// What the manager starts: serve with its lines in the log, its runtime file
// where the group's users find it, and what ended it in the event log too.
int runAsService(const ServiceSettings& settings) {
    std::string refused;
    std::string aclWarning;
    try {
        aclWarning = prepareFolders(settings, {programDataFolder(), logFolder()});
    } catch (const std::runtime_error& e) {
        refused = e.what();
    }
    if (!refused.empty()) {
        // No log to write to: the event log and the manager are told.
        return runUnderServiceManager(settings, [&]() -> int {
            reportEvent(settings.name, true, "not started: " + refused);
            return kExitSoftware;
        });
    }
    BoundedLog log(logFolder() + "\\serve.log", kLogBound);
    Output out(log, "the service's log");
    Console console{out};
    console.errSink = &log;
    useSystemFolders();
    return runUnderServiceManager(settings, [&]() -> int {
        log.line("service " + settings.name + " starting: station file " + settings.config);
        if (!aclWarning.empty()) {
            log.line("warning: " + aclWarning);
        }
        try {
            const std::string problem =
                prepareFolders(settings, {programDataFolder() + "\\state", systemRuntimeFolder()});
            if (!problem.empty()) {
                log.line("warning: " + problem + " (the group may not find this serve)");
            }
        } catch (const std::runtime_error& e) {
            log.line("error: " + std::string(e.what()));
            reportEvent(settings.name, true, "not started: " + std::string(e.what()));
            return kExitSoftware;
        }
        reportEvent(settings.name, false, "starting with the station file " + settings.config);
        std::string problem = setFailureActions(settings.name);
        if (!problem.empty()) {
            log.line("warning: " + problem);
        }
        int status = kExitSoftware;
        std::string why;
        try {
            // Changes made through the API are kept (state\), as the
            // packaged Linux service keeps them.
            status = serveStationFile(settings.config, true, false, console, reportRunning);
        } catch (const UsageError& e) {
            status = kExitUsage, why = e.what();
        } catch (const InputError& e) {
            status = kExitNoInput, why = e.what();
        } catch (const std::exception& e) {
            why = e.what();
        }
        if (!why.empty()) {
            log.line("error: " + why);
        }
        reportEvent(settings.name, status != kExitOk,
                    status == kExitOk ? "stopped" : "ended with status " + std::to_string(status) + ": " + why);
        log.line("service " + settings.name + " ended with status " + std::to_string(status));
        return status;
    });
}

int answer(Console& console, const std::function<std::string()>& action) {
    try {
        console.out.write(action());
        return kExitOk;
    } catch (const OutputError&) {
        throw;
    } catch (const std::runtime_error& e) {
        console.error(std::string("brivant: ") + e.what());
        return kExitSoftware;
    }
}

} // namespace

void addServiceCommand(CLI::App& app, CommandContext& context) {
    auto settings = std::make_shared<ServiceSettings>();
    CLI::App* service = app.add_subcommand("service", "serve as a Windows service: install, start, stop, status");
    service->require_subcommand(1);
    service->footer(
        "The installer (brivant-VERSION-x64.msi) installs the service Brivant over\n"
        "%ProgramData%\\Brivant\\station.toml; these commands do the same by hand.\n"
        "The service writes its log to %ProgramData%\\Brivant\\logs\\serve.log (10 MB,\n"
        "then serve.log.1), its address and token to %ProgramData%\\Brivant\\run\\,\n"
        "readable by Administrators and --group, and restarts after a failure\n"
        "(after 1 s, 10 s, then 60 s).");
    auto nameOption = [settings](CLI::App* command) {
        command->add_option("--name", settings->name, "the service's name (default Brivant)")->type_name("NAME");
    };
    CLI::App* install = service->add_subcommand("install", "install the service over a station file (as Administrator)");
    install->add_option("--config", settings->config, "the station file")->type_name("FILE")->required();
    install->add_option("--group", settings->group,
                        "the group whose members may find and use the service, besides Administrators "
                        "(default Users)")
        ->type_name("GROUP");
    nameOption(install);
    selectOnParse(install, context, [settings, &context] {
        refuseInBatch(context, "service install");
        settings->config = fullPath(settings->config);
        loadStation(settings->config); // its mistakes now, not at the service's first start
        return answer(context.console, [&] { return installService(*settings, thisProgram()); });
    });
    CLI::App* uninstall = service->add_subcommand("uninstall", "stop and remove the service");
    nameOption(uninstall);
    selectOnParse(uninstall, context, [settings, &context] {
        return answer(context.console, [&] { return uninstallService(settings->name); });
    });
    CLI::App* start = service->add_subcommand("start", "start the service, now and at every boot");
    nameOption(start);
    selectOnParse(start, context, [settings, &context] {
        return answer(context.console, [&] { return startService(settings->name); });
    });
    CLI::App* stop = service->add_subcommand("stop", "stop the service (it still starts at boot)");
    nameOption(stop);
    selectOnParse(stop, context, [settings, &context] {
        return answer(context.console, [&] { return stopService(settings->name); });
    });
    CLI::App* status = service->add_subcommand("status", "the service's state, command and failure actions");
    nameOption(status);
    selectOnParse(status, context, [settings, &context] {
        return answer(context.console, [&] { return serviceStatus(settings->name); });
    });
    // The installer's last step of an upgrade, with what it read from the
    // service before the old product's removal deleted it.
    auto restoreStart = std::make_shared<std::string>();
    auto restoreState = std::make_shared<std::string>();
    CLI::App* restore =
        service->add_subcommand("restore", "what the installer runs after an upgrade: the service as it was before");
    restore->add_option("--start-type", *restoreStart, "how it started: auto, demand or disabled")
        ->check(CLI::IsMember({"auto", "demand", "disabled"}))
        ->required();
    restore->add_option("--state", *restoreState, "whether it ran: running or stopped")
        ->check(CLI::IsMember({"running", "stopped"}))
        ->required();
    nameOption(restore);
    selectOnParse(restore, context, [settings, restoreStart, restoreState, &context] {
        // No one reads the installer's console: the event log is told too.
        return answer(context.console, [&] {
            try {
                const std::string text = restoreService(settings->name, *restoreStart, *restoreState == "running");
                reportEvent(settings->name, false, "after the upgrade: " + text);
                return text;
            } catch (const std::runtime_error& e) {
                reportEvent(settings->name, true, "after the upgrade: " + std::string(e.what()));
                throw;
            }
        });
    });
    CLI::App* run = service->add_subcommand("run", "what the service manager starts (not for a console)");
    run->add_option("--config", settings->config, "the station file")->type_name("FILE")->required();
    run->add_option("--group", settings->group, "who may read the runtime file")->type_name("GROUP");
    nameOption(run);
    selectOnParse(run, context, [settings, &context] {
        refuseInBatch(context, "service run");
        try {
            return runAsService(*settings);
        } catch (const std::runtime_error& e) {
            context.console.error(std::string("brivant: ") + e.what());
            return kExitSoftware;
        }
    });
}

} // namespace brivant::tool
