// libFuzzer target: any bytes as a device mode block of exactly that size,
// given to the finders of the gateway driver's trailer and extension and to
// the debug dump. None may read outside the block.
#include "FuzzMachine.h"
#include "native/Devmode.h"
#include "palhost.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr char kMachine[] = R"(Windows Registry Editor Version 5.00
)";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = SetUpFuzzMachine(kMachine, "qldevmode-fuzz");
    (void)ready;
    // A heap block of exactly the input's size, so any over-read is caught.
    std::vector<uint8_t> block(data, data + size);
    auto* pDevmode = reinterpret_cast<DEVMODEW*>(block.data());
    if (size == 0) return 0;

    (void)FindPrivateDevmode(pDevmode, size);
    (void)FindDevmodeExtension(pDevmode, size);

    // Without a size the finders trust dmSize and dmDriverExtra, as callers
    // that have checked them do; so does the dump.
    if (size >= offsetof(DEVMODEW, dmFields)) {
        WORD dmSize = 0, dmDriverExtra = 0;
        std::memcpy(&dmSize, block.data() + offsetof(DEVMODEW, dmSize), sizeof(dmSize));
        std::memcpy(&dmDriverExtra, block.data() + offsetof(DEVMODEW, dmDriverExtra), sizeof(dmDriverExtra));
        if (size_t(dmSize) + dmDriverExtra <= size) {
            (void)FindPrivateDevmode(pDevmode);
            (void)FindDevmodeExtension(pDevmode);
            g_dwDebugLevel = 0x20001;
            PrintDEVMODE(pDevmode, dmSize, u"fuzz");
            g_dwDebugLevel = 0;
            pal::host::TakeDebugOutput();
        }
    }
    return 0;
}
