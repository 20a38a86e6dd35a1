// Modules: DLL names map to shared libraries in the module directory, with
// Windows reference counting and DllMain calls. The system DLLs the product
// names resolve to this library itself.
#include "core.h"
#include "faults.h"

#include "palhost.h"
#include "palwin.h"

#include <cstdio>
#include <dlfcn.h>
#include <link.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pal {
namespace {

using DllMainFn = BOOL (*)(HINSTANCE, DWORD, LPVOID);

// The HMODULE is the address of the module's record, so every module name
// has its own value even when several names share one library.
struct Module {
    std::string name;        // lower case, without directory and extension
    std::u16string fileName; // as reported by GetModuleFileNameW
    void* dl = nullptr;      // dlopen handle
    bool system = false;     // served by this library; never unloaded
    int refs = 0;
};

struct ModuleTable {
    // Serialises LoadLibraryW/FreeLibrary including their DllMain calls, as
    // the Windows loader lock does; recursive so DllMain may load modules.
    std::recursive_mutex loader;
    // Guards the maps; never held while DllMain runs.
    std::mutex lock;
    std::map<std::string, std::unique_ptr<Module>> byName;
    std::string directory;
    std::unique_ptr<Module> exe;
};

ModuleTable& Table() {
    static ModuleTable* t = new ModuleTable; // outlives every static destructor that may free a library
    return *t;
}

constexpr const char* kSystemModules[] = {"winspool", "spoolss", "kernel32", "advapi32", "user32", "gdi32", "ws2_32"};

bool IsSystemModule(const std::string& name) {
    for (const char* s : kSystemModules)
        if (name == s) return true;
    return false;
}

std::string ExecutableDirectory() {
    std::vector<char> buf(4096);
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return ".";
    std::string path(buf.data(), n);
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The dlopen handle of this library (libqlpal), for the system modules.
void* SelfHandle() {
    static void* self = [] {
        Dl_info info{};
        if (!dladdr(reinterpret_cast<void*>(&SelfHandle), &info) || !info.dli_fname) return static_cast<void*>(nullptr);
        return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    }();
    return self;
}

// "C:\Windows\System32\WinSpool.DRV" -> "winspool".
std::string ModuleName(std::u16string_view path) {
    size_t slash = path.find_last_of(u"\\/");
    std::u16string_view file = slash == std::u16string_view::npos ? path : path.substr(slash + 1);
    std::u16string lower;
    for (char16_t c : file) lower += FoldLower(c);
    for (std::u16string_view ext : {std::u16string_view(u".dll"), std::u16string_view(u".drv")})
        if (lower.size() > ext.size() && lower.compare(lower.size() - ext.size(), ext.size(), ext) == 0) {
            lower.resize(lower.size() - ext.size());
            break;
        }
    return Utf16ToUtf8(lower);
}

std::u16string DisplayFileName(std::u16string_view path) {
    size_t slash = path.find_last_of(u"\\/");
    std::u16string file(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
    if (file.find(u'.') == std::u16string::npos) file += u".dll";
    return u"C:\\Windows\\System32\\" + file;
}

// Looks a symbol up in the module's own library only, as Windows looks in the
// module's own export table (dlsym on a handle also searches dependencies).
void* OwnSymbol(void* dl, const char* name) {
    void* sym = dlsym(dl, name);
    if (!sym) return nullptr;
    link_map* own = nullptr;
    if (dlinfo(dl, RTLD_DI_LINKMAP, &own) != 0 || !own) return sym;
    Dl_info info{};
    link_map* where = nullptr;
    if (!dladdr1(sym, &info, reinterpret_cast<void**>(&where), RTLD_DL_LINKMAP) || !where) return sym;
    return where == own ? sym : nullptr;
}

Module* FindByHandle(ModuleTable& t, HMODULE h) {
    if (!h) return nullptr;
    if (t.exe && reinterpret_cast<HMODULE>(t.exe.get()) == h) return t.exe.get();
    for (auto& [name, m] : t.byName)
        if (reinterpret_cast<HMODULE>(m.get()) == h) return m.get();
    return nullptr;
}

Module* Executable(ModuleTable& t) {
    if (!t.exe) {
        t.exe = std::make_unique<Module>();
        t.exe->name = "";
        t.exe->fileName = u"C:\\Windows\\System32\\spoolsv.exe";
        t.exe->dl = dlopen(nullptr, RTLD_NOW);
        t.exe->system = true;
    }
    return t.exe.get();
}

DllMainFn EntryOf(const Module& m) {
    if (m.system || !m.dl) return nullptr;
    return reinterpret_cast<DllMainFn>(OwnSymbol(m.dl, "DllMain"));
}

} // namespace

namespace host {

void SetModuleDirectory(const std::string& dir) {
    ModuleTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    t.directory = dir;
}

std::string ModuleDirectory() {
    ModuleTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    if (t.directory.empty()) t.directory = ExecutableDirectory();
    return t.directory;
}

} // namespace host
} // namespace pal

PAL_API HMODULE LoadLibraryW(LPCWSTR lpLibFileName) {
    if (!lpLibFileName || !*lpLibFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    pal::ModuleTable& t = pal::Table();
    std::lock_guard<std::recursive_mutex> loader(t.loader);
    const std::u16string_view given = pal::WView(lpLibFileName);
    const std::string name = pal::ModuleName(given);
    {
        std::lock_guard<std::mutex> g(t.lock);
        auto it = t.byName.find(name);
        if (it != t.byName.end()) {
            ++it->second->refs;
            return reinterpret_cast<HMODULE>(it->second.get());
        }
    }

    auto m = std::make_unique<pal::Module>();
    m->name = name;
    m->fileName = pal::DisplayFileName(given);
    m->refs = 1;
    if (pal::IsSystemModule(name)) {
        m->system = true;
        m->dl = pal::SelfHandle();
    } else {
        const std::string dir = pal::host::ModuleDirectory();
        std::string found;
        for (const std::string& candidate : {dir + "/lib" + name + ".so", dir + "/" + name + ".so"}) {
            struct stat st;
            if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                found = candidate;
                break;
            }
        }
        if (found.empty()) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        m->dl = dlopen(found.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!m->dl) {
            // The file is there but does not load: say why on the console, a
            // build problem rather than a runtime condition.
            const char* why = dlerror();
            std::fprintf(stderr, "LoadLibraryW: %s\n", why ? why : found.c_str());
            SetLastError(ERROR_BAD_EXE_FORMAT);
            return nullptr;
        }
    }

    pal::Module* raw = m.get();
    HMODULE h = reinterpret_cast<HMODULE>(raw);
    {
        std::lock_guard<std::mutex> g(t.lock);
        t.byName.emplace(name, std::move(m));
    }
    if (pal::DllMainFn entry = pal::EntryOf(*raw)) {
        if (!entry(reinterpret_cast<HINSTANCE>(h), DLL_PROCESS_ATTACH, nullptr)) {
            std::unique_ptr<pal::Module> failed;
            {
                std::lock_guard<std::mutex> g(t.lock);
                auto it = t.byName.find(name);
                if (it != t.byName.end()) {
                    failed = std::move(it->second);
                    t.byName.erase(it);
                }
            }
            if (failed && failed->dl) dlclose(failed->dl);
            SetLastError(ERROR_DLL_INIT_FAILED);
            return nullptr;
        }
    }
    return h;
}

PAL_API HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
    pal::ModuleTable& t = pal::Table();
    std::lock_guard<std::mutex> g(t.lock);
    if (!lpModuleName) return reinterpret_cast<HMODULE>(pal::Executable(t));
    auto it = t.byName.find(pal::ModuleName(pal::WView(lpModuleName)));
    if (it == t.byName.end()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HMODULE>(it->second.get());
}

PAL_API FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    pal::ModuleTable& t = pal::Table();
    void* dl = nullptr;
    {
        std::lock_guard<std::mutex> g(t.lock);
        pal::Module* m = hModule ? pal::FindByHandle(t, hModule) : pal::Executable(t);
        if (!m) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        dl = m->dl;
    }
    // Lookups by ordinal (a value below 0x10000 in place of the name) are not
    // supported: nothing here exports by ordinal.
    if (!dl || reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    // The fault "GetProcAddress <name>" hides one export, as an older
    // version of a library lacks it.
    const std::string call = std::string("GetProcAddress ") + lpProcName;
    void* sym = pal::faults::Check(call.c_str()).fail ? nullptr
                : hModule                             ? pal::OwnSymbol(dl, lpProcName)
                                                      : dlsym(dl, lpProcName);
    if (!sym) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(sym);
}

PAL_API BOOL FreeLibrary(HMODULE hLibModule) {
    pal::ModuleTable& t = pal::Table();
    std::lock_guard<std::recursive_mutex> loader(t.loader);
    pal::Module* m = nullptr;
    {
        std::lock_guard<std::mutex> g(t.lock);
        m = pal::FindByHandle(t, hLibModule);
        if (!m || m == t.exe.get()) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        if (--m->refs > 0) return TRUE;
    }
    // Last reference: the record stays in the table (with no references)
    // while DllMain runs, so calls it makes that look the module up still work.
    if (pal::DllMainFn entry = pal::EntryOf(*m)) entry(hLibModule, DLL_PROCESS_DETACH, nullptr);
    std::unique_ptr<pal::Module> gone;
    {
        std::lock_guard<std::mutex> g(t.lock);
        auto it = t.byName.find(m->name);
        // DllMain may have loaded the module again; then it stays.
        if (it != t.byName.end() && it->second->refs <= 0) {
            gone = std::move(it->second);
            t.byName.erase(it);
        }
    }
    if (gone && !gone->system && gone->dl) dlclose(gone->dl);
    return TRUE;
}
