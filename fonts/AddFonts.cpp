// Font embedding entry point. Reading and embedding font files comes with the
// font subsystem; until then a record adds nothing to the output.
#define QL_MODULE WSTR("AddFonts")
#include "fonts/AddFonts.h"

#include <atomic>

namespace {
std::atomic<AddFontsHook> g_pfnHook{nullptr};
} // namespace

void SetAddFontsHookForTest(AddFontsHook pfnHook) {
    g_pfnHook.store(pfnHook);
}

void AddFonts(FONTCONTEXT pFontContext, const BYTE* pRecord, DWORD nSize, PPRINTPROCESSORDATA pData) {
    (void)pFontContext;
    if (AddFontsHook pfn = g_pfnHook.load()) pfn(pRecord, nSize, pData);
}
