#include "version_info.h"

#include "util/backend_info.h"
#include "brivant.h"

#if defined(_WIN32)
#include <windows.h>
#include <vector>
#else
#include <dlfcn.h>
#include <climits>
#include <cstdlib>
#endif

namespace brivant::tool {

// The version of the headers the tool was built with; the library loaded
// may be another build.
std::string toolVersion() {
    return BRIVANT_VERSION_STRING;
}

std::string versionFromSonameFile(const std::string& path) {
    std::string name = path.substr(path.find_last_of("/\\") + 1);
    std::size_t at = name.find(".so.");
    if (at == std::string::npos) {
        return "";
    }
    std::string version = name.substr(at + 4);
    bool plausible = !version.empty() && version.find_first_not_of("0123456789.") == std::string::npos;
    return plausible ? version : "";
}

#if defined(_WIN32)

namespace {

std::string narrow(const std::wstring& wide) {
    int size = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string text(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &text[0], size, nullptr, nullptr);
    text.resize(text.size() - 1);
    return text;
}

} // namespace

LibraryFile loadedLibrary() {
    LibraryFile file;
    HMODULE module = nullptr;
    auto address = reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&Brivant_Device_Open));
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            address, &module)) {
        return file;
    }
    wchar_t path[MAX_PATH * 2];
    DWORD length = GetModuleFileNameW(module, path, sizeof path / sizeof path[0]);
    if (length == 0) {
        return file;
    }
    file.path = narrow(std::wstring(path, length));
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    std::vector<unsigned char> block(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoSize = 0;
    if (size != 0 && GetFileVersionInfoW(path, 0, size, block.data()) &&
        VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &infoSize) &&
        info != nullptr) {
        file.version = std::to_string(HIWORD(info->dwFileVersionMS)) + '.' +
                       std::to_string(LOWORD(info->dwFileVersionMS)) + '.' +
                       std::to_string(HIWORD(info->dwFileVersionLS)) + '.' +
                       std::to_string(LOWORD(info->dwFileVersionLS));
    }
    return file;
}

#else

LibraryFile loadedLibrary() {
    LibraryFile file;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&Brivant_Device_Open), &info) == 0 ||
        info.dli_fname == nullptr) {
        return file;
    }
    file.path = info.dli_fname;
    // The name linked against is the soname's link; the real file carries the
    // full version.
    char real[PATH_MAX];
    if (realpath(info.dli_fname, real) != nullptr) {
        file.path = real;
    }
    file.version = versionFromSonameFile(file.path);
    return file;
}

#endif

std::string versionText() {
    LibraryFile library = loadedLibrary();
    std::string text = "brivant " + toolVersion() + '\n';
    text += "library " + (library.version.empty() ? std::string("(version not known)") : library.version);
    text += library.path.empty() ? std::string(" (file not known)") : " (" + library.path + ")";
    return text + "\nbackend " + backendName() + ": " + backendDescription() + '\n';
}

} // namespace brivant::tool
