// How the tool finds a running serve (or panel): each one writes a small
// JSON file with its address and token into the user's runtime folder,
// readable by that user alone, and removes it when it ends:
//   Linux    $XDG_RUNTIME_DIR/brivant/serve-PID.json, else ~/.brivant/run/
//   Windows  %LOCALAPPDATA%\brivant\serve-PID.json
// A folder that others may write to is refused: whoever can put a file there
// could point the tool at a server of theirs.
// A system serve (run by systemd with RuntimeDirectory=, as the packaged
// service is) writes into that folder instead, /run/brivant, mode 0750 and
// its file 0640, both of the group brivant; the tool looks there after the
// user's own folder, so members of the group reach it and others do not.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brivant::tool {

struct ServeRecord {
    long pid = 0;
    std::string base;    // http://127.0.0.1:PORT
    std::string token;
    std::string station; // empty for a panel
    std::string path;    // the file itself
    std::vector<std::int16_t> units; // the station's units (a panel's: those it found)
    std::string backend; // "sim", "usb" or "winusb": what the serve's units are
    std::string journal; // the serve's journal, where it keeps one
};

// The runtime folder, made (0700) when it is not there; throws
// std::runtime_error naming the folder when it cannot be had or is open to
// others.
std::string runtimeFolder();

// Where serve keeps what outlives it (the changes file): systemd's
// $STATE_DIRECTORY, else $XDG_STATE_HOME/brivant or ~/.local/state/brivant
// (%LOCALAPPDATA%\brivant\state on Windows); made when missing. Throws
// std::runtime_error naming what is missing.
std::string stateFolder();
// The changes file of station `station` in the state folder.
std::string changesFileFor(const std::string& station);
// The journal of station `station` in the state folder, unless the station
// file names another.
std::string journalFileFor(const std::string& station);

// The system serve's folder: /run/brivant, or %ProgramData%\Brivant\run on
// Windows ($BRIVANT_SYSTEM_RUNTIME for tests).
std::string systemRuntimeFolder();

#if defined(_WIN32)
// serve runs as the Windows service: its runtime file goes into the system
// folder, its changes file and journal into %ProgramData%\Brivant\state,
// where a logged-on user's tool and Python find them (systemd gives a Linux
// service its folders through the environment instead).
void useSystemFolders();

// %ProgramData%\Brivant (made when missing): the service's station file,
// run\, state\ and logs\.
std::string programDataFolder();
#endif

// The records of the serves whose process is still alive.
std::vector<ServeRecord> liveServes();

// Written at creation (0600, whole or not at all), removed at destruction.
class RuntimeFile {
public:
    explicit RuntimeFile(ServeRecord record);
    ~RuntimeFile();
    RuntimeFile(const RuntimeFile&) = delete;
    RuntimeFile& operator=(const RuntimeFile&) = delete;

    const std::string& path() const { return record_.path; }
    void remove();

private:
    ServeRecord record_;
    bool removed_ = false;
};

long currentPid();

} // namespace brivant::tool
