// Process-wide binding of the native-printing view library.
//
// The binding is made once, by the first job that needs it, and is never
// retried after a failure. Binding the real library - loading the spooler
// router and "quilmon.dll", calling its InitializeAGNP export and taking the
// functions of the table it returns - is not done yet: until it is, the start
// fails quietly and native printing is unavailable unless a test has installed
// its own functions through SetViewFunctionsForTest.
#define QL_MODULE WSTR("qlview")
#include "native/ViewLibrary.h"

#include "diag/DbgLog.h"

#include <mutex>

namespace {

struct ViewBinding {
    std::mutex lock;        // serialises concurrent first calls of EnsureViewLibrary
    bool fStartTried = false;
    bool fAvailable = false;
    ViewFunctions functions;
};

ViewBinding& Binding() {
    static ViewBinding binding;
    return binding;
}

// Binds the view library. The real start through the port monitor library's
// InitializeAGNP comes with later work; for now there is nothing to bind.
BOOL StartViewLibrary(ViewBinding& binding) {
    binding.functions = ViewFunctions{};
    return FALSE;
}

} // namespace

const ViewFunctions& GetViewFunctions() {
    return Binding().functions;
}

BOOL EnsureViewLibrary() {
    ViewBinding& binding = Binding();
    std::lock_guard<std::mutex> guard(binding.lock);
    if (!binding.fStartTried) {
        binding.fStartTried = true;
        binding.fAvailable = StartViewLibrary(binding) != FALSE;
    }
    return binding.fAvailable ? TRUE : FALSE;
}

void SetViewFunctionsForTest(const ViewFunctions* pFunctions) {
    ViewBinding& binding = Binding();
    std::lock_guard<std::mutex> guard(binding.lock);
    if (pFunctions) {
        binding.functions = *pFunctions;
        binding.fStartTried = true;
        binding.fAvailable = true;
    } else {
        binding.functions = ViewFunctions{};
        binding.fStartTried = false;
        binding.fAvailable = false;
    }
}
