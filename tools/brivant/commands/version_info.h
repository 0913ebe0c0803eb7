// The tool's version and the version of the library file actually loaded,
// which may be another build than the tool's.
#pragma once

#include <string>

namespace brivant::tool {

std::string toolVersion();

struct LibraryFile {
    std::string path;    // the file the Brivant_ functions were loaded from
    std::string version; // empty when the file does not tell
};
LibraryFile loadedLibrary();

// "brivant 4.1.0\nlibrary 4.1.0 (/usr/lib/libbrivant.so.4.1.0)\nbackend usb: ...\n"
std::string versionText();

// The X.Y.Z after ".so." in a file name like libbrivant.so.4.1.0; empty when
// there is none.
std::string versionFromSonameFile(const std::string& path);

} // namespace brivant::tool
