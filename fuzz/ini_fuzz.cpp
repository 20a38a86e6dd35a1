// libFuzzer target: any bytes as an INI file, read with GetPrivateProfileStringW
// for a value, a section's keys and the section list, into buffers of several
// sizes. The reader must never crash, read outside the file or write past the
// caller's buffer (guard characters after it must survive).
#include "FuzzMachine.h"
#include "palhost.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace {

constexpr char kMachine[] = "Windows Registry Editor Version 5.00\n";
constexpr WCHAR kGuard = 0xBEEF;

void Probe(LPCWSTR section, LPCWSTR key, DWORD size) {
    std::vector<WCHAR> buf(size + 4, kGuard);
    const DWORD n = GetPrivateProfileStringW(section, key, WSTR("default"), buf.data(), size, WSTR("C:\\fuzz.ini"));
    if (size && n >= size) std::abort();
    for (size_t i = size; i < buf.size(); ++i)
        if (buf[i] != kGuard) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = SetUpFuzzMachine(kMachine, "qlini-fuzz");
    (void)ready;
    std::ofstream(pal::host::MapPath(u"C:\\fuzz.ini"), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    for (DWORD cb : {0u, 1u, 2u, 7u, 260u}) {
        Probe(WSTR("print"), WSTR("spooldir"), cb);
        Probe(WSTR("print"), nullptr, cb);
        Probe(nullptr, nullptr, cb);
    }
    return 0;
}
