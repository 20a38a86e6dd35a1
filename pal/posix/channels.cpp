// The debugger output channel and message boxes: both are recorded in the
// process for the host to show and the tests to read; nothing blocks.
#include "core.h"

#include "palhost.h"
#include "palwin.h"

#include <mutex>

namespace pal {
namespace {

struct Channels {
    std::mutex lock;
    std::vector<std::u16string> debugLines;
    std::function<void(const std::u16string&)> sink;
    std::vector<host::MessageBoxRecord> boxes;
};

Channels& State() {
    static Channels* c = new Channels; // written by log lines until the process ends
    return *c;
}

void Debug(std::u16string line) {
    Channels& c = State();
    std::function<void(const std::u16string&)> sink;
    {
        std::lock_guard<std::mutex> g(c.lock);
        c.debugLines.push_back(line);
        sink = c.sink;
    }
    // Called outside the lock so a sink may itself write debugger output.
    if (sink) sink(line);
}

} // namespace

namespace host {

std::vector<std::u16string> TakeDebugOutput() {
    Channels& c = State();
    std::lock_guard<std::mutex> g(c.lock);
    std::vector<std::u16string> out;
    out.swap(c.debugLines);
    return out;
}

void SetDebugOutputSink(std::function<void(const std::u16string&)> sink) {
    Channels& c = State();
    std::lock_guard<std::mutex> g(c.lock);
    c.sink = std::move(sink);
}

std::vector<MessageBoxRecord> TakeMessageBoxes() {
    Channels& c = State();
    std::lock_guard<std::mutex> g(c.lock);
    std::vector<MessageBoxRecord> out;
    out.swap(c.boxes);
    return out;
}

} // namespace host
} // namespace pal

PAL_API void OutputDebugStringW(LPCWSTR lpOutputString) {
    if (!lpOutputString) return;
    DWORD saved = GetLastError();
    pal::Debug(std::u16string(pal::WView(lpOutputString)));
    SetLastError(saved);
}

PAL_API int MessageBoxW(HWND /*hWnd*/, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
    pal::Channels& c = pal::State();
    pal::host::MessageBoxRecord rec;
    rec.text = std::u16string(pal::WView(lpText));
    rec.caption = lpCaption ? std::u16string(pal::WView(lpCaption)) : u"Error";
    rec.type = uType;
    std::lock_guard<std::mutex> g(c.lock);
    c.boxes.push_back(std::move(rec));
    return IDOK;
}
