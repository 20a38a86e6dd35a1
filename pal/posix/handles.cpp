#include "handles.h"

#include <map>
#include <mutex>

namespace pal {
namespace {

struct Table {
    std::mutex lock;
    std::map<uintptr_t, std::shared_ptr<Object>> objects;
    uintptr_t next = 0x1000;
};

Table& table() {
    static Table* t = new Table; // lives until the process ends; never destroyed under a late CloseHandle
    return *t;
}

} // namespace

HANDLE RegisterHandle(std::shared_ptr<Object> obj) {
    Table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    uintptr_t value = t.next;
    t.next += 4;
    t.objects.emplace(value, std::move(obj));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> LookupObject(HANDLE h) {
    Table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
    return it == t.objects.end() ? nullptr : it->second;
}

std::shared_ptr<Object> RemoveHandle(HANDLE h) {
    Table& t = table();
    std::shared_ptr<Object> obj;
    {
        std::lock_guard<std::mutex> g(t.lock);
        auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
        if (it == t.objects.end()) return nullptr;
        obj = std::move(it->second);
        t.objects.erase(it);
    }
    return obj; // destroyed by the caller, outside the table lock
}

std::vector<std::string> OpenHandleList() {
    Table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    std::vector<std::string> out;
    out.reserve(t.objects.size());
    for (const auto& [value, obj] : t.objects) out.push_back(obj->Describe());
    return out;
}

} // namespace pal
