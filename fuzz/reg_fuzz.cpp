// libFuzzer target: any bytes as the text of a .reg file, merged into the
// simulated registry and exported again. A bad file is refused with a
// message; nothing may crash or hang.
#include "palhost.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    pal::host::ClearRegistry();
    if (pal::host::LoadRegistryText(text, "fuzz.reg", &error)) {
        // What was loaded must export and load again.
        const std::string exported = pal::host::ExportRegistry();
        pal::host::ClearRegistry();
        if (!pal::host::LoadRegistryText(exported, "export.reg", &error)) __builtin_trap();
    }
    return 0;
}
