// brivant.exe as a Windows service: the service manager starts
// `brivant.exe service run --config FILE`, which runs serve until a stop, a
// shutdown or a pre-shutdown, then tells the manager it has stopped. The
// service sets its own failure actions (restart after 1 s, 10 s, 60 s), since
// the installer's tool cannot, and writes its log under
// %ProgramData%\Brivant\logs, as well as to the Application event log.
#pragma once

#include <functional>
#include <string>

namespace brivant::tool {

struct ServiceSettings {
    std::string name = "Brivant";   // the service's name in the manager
    std::string config;             // the station file, a full path
    std::string group = "Users";    // who may read the runtime file besides Administrators
};

// The service manager's side of `service run`: returns `serve`'s status, or
// throws std::runtime_error when this process was not started by the
// manager.
int runUnderServiceManager(const ServiceSettings& settings, const std::function<int()>& serve);

// From `serve`, once the station is up: the manager is told it runs.
void reportRunning();

// Restart after 1 s, 10 s and 60 s; a non-zero exit counts as a failure
// (but 64 and 66, a station file that cannot work, leave the actions to
// crashes until the next start that runs).
// Returns what went wrong, or "".
std::string setFailureActions(const std::string& name);

// Lets SYSTEM and Administrators do all, and `group` read, in `folder`
// (and what it holds), and no one else. Returns what went wrong, or "".
std::string shareFolderWith(const std::string& folder, const std::string& group);

// The service's own folder `folder`, made if it is not there. One that is
// there is checked first: a junction or link, a file, or a folder owned by
// anyone but SYSTEM, Administrators or this service's own account is
// refused (std::runtime_error naming it), so that no user can redirect
// where the service writes. With `checkContents`, so is everything the
// folder holds, all the way down, that is not the service's own: a file or
// folder another account owns (dropped before the folder had its ACL), a
// junction or link, or a file with a second name. Then it gets
// shareFolderWith's ACL; returns what went wrong with that, or "".
std::string prepareServiceFolder(const std::string& folder, const std::string& group, bool checkContents);

// One line to the Application event log, as source `name`; best effort.
void reportEvent(const std::string& name, bool error, const std::string& text);

// `brivant service install|uninstall|start|stop|status`: each returns the
// lines to print, and throws std::runtime_error with the manager's reason.
std::string installService(const ServiceSettings& settings, const std::string& program);
std::string uninstallService(const std::string& name);
std::string startService(const std::string& name);
// After an upgrade (the installer's last step): the service starts as it
// did before it (`startType` auto, demand or disabled), gets its failure
// actions, and is started if `running` was.
std::string restoreService(const std::string& name, const std::string& startType, bool running);
std::string stopService(const std::string& name);
std::string serviceStatus(const std::string& name);

} // namespace brivant::tool
