// Handle table of the platform layer (internal). Every kernel-style object the
// layer hands out (events, files, printers, registry keys, device contexts)
// lives here, so tests can ask which handles a job left open.
#pragma once
#include "pal/types.h"

#include <memory>
#include <string>
#include <vector>

namespace pal {

class Object {
public:
    virtual ~Object() = default;
    // Short description for leak reports, e.g. "event", "file C:\x.tmp".
    virtual std::string Describe() const = 0;
};

// Stores obj and returns a new handle value for it (never null, never
// INVALID_HANDLE_VALUE, never reused within a process).
HANDLE RegisterHandle(std::shared_ptr<Object> obj);

// The object behind h, or null when h is unknown or of another type.
std::shared_ptr<Object> LookupObject(HANDLE h);
template <class T>
std::shared_ptr<T> LookupHandle(HANDLE h) {
    return std::dynamic_pointer_cast<T>(LookupObject(h));
}

// Removes h from the table and returns its object (null when unknown). The
// object is destroyed when the last reference goes.
std::shared_ptr<Object> RemoveHandle(HANDLE h);

// Removes h only when its object is of type T.
template <class T>
std::shared_ptr<T> RemoveHandleOf(HANDLE h) {
    if (!LookupHandle<T>(h)) return nullptr;
    return std::dynamic_pointer_cast<T>(RemoveHandle(h));
}

std::vector<std::string> OpenHandleList();

} // namespace pal
