// The library's load and unload entry point does no work: units still open
// when the library is unloaded are not closed by it.
#ifdef _WIN32
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
