// A loadable module for the loader tests. It reports its DllMain calls on the
// debugger channel, where the tests read them after the module is gone.
#include "palfmt.h"
#include "palwin.h"

#include <cstdlib>

namespace {
HINSTANCE g_self = nullptr;
int g_attachCount = 0;
} // namespace

PAL_EXPORT BOOL WINAPI DllMain(HINSTANCE hinst, DWORD reason, LPVOID /*reserved*/) {
    WCHAR line[128];
    PalFormatW(line, 128, WSTR("paltestmod %s"),
               reason == DLL_PROCESS_ATTACH ? WSTR("attach") : reason == DLL_PROCESS_DETACH ? WSTR("detach") : WSTR("other"));
    OutputDebugStringW(line);
    if (reason == DLL_PROCESS_ATTACH) {
        if (std::getenv("PALTESTMOD_FAIL")) return FALSE;
        g_self = hinst;
        ++g_attachCount;
        // The loader must allow a DllMain to load other modules.
        HMODULE nested = LoadLibraryW(WSTR("kernel32.dll"));
        if (!nested) return FALSE;
        FreeLibrary(nested);
    }
    return TRUE;
}

PAL_EXPORT int PalTestModAnswer() { return 42; }
PAL_EXPORT HINSTANCE PalTestModInstance() { return g_self; }
PAL_EXPORT int PalTestModAttachCount() { return g_attachCount; }
