// AddFontResourceExW on the font catalogue of fonts.cpp.
#include "core.h"
#include "fonts.h"

#include "palhost.h"
#include "palwin.h"

PAL_API int AddFontResourceExW(LPCWSTR name, DWORD /*fl*/, PVOID /*res*/) {
    if (!name || !name[0]) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!pal::fonts::AddFontFile(pal::host::MapPath(std::u16string(name)))) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    return 1;
}
