// A job record built by hand, for tests that call a printing path's functions
// directly: each test gets a fresh record whose printer is open, and helpers
// that start a document on it, write through the job writer and read back
// what the port received. The suite's machine is built first (SetUpMachine).
#pragma once
#include "palhost.h"
#include "support/TestMachine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qltest {

class HandJobTest : public ::testing::Test {
protected:
    using Bytes = std::vector<uint8_t>;

    explicit HandJobTest(std::u16string printer) : m_printerName(std::move(printer)), m_openName(m_printerName) {}
    void SetUp() override;
    void TearDown() override;

    PPRINTPROCESSORDATA Data() { return m_job->Data(); }
    CHoleList& Holes() { return m_job->Holes(); }
    CBitmapCacheMap& Cache() { return m_job->Cache(); }
    // Opens a printer that is closed after the test.
    HANDLE OpenPrinter(const std::u16string& name);

    // Starts a document on the record (on hAGNPPrinter when set).
    DWORD Start(BOOL fAGNP = FALSE);
    BOOL Write(const Bytes& bytes, DWORD mode = 0);
    // The single document the ports received; expects exactly one.
    pal::host::PortDocument Document();
    Bytes DocumentBytes();
    // Ends the document and returns its bytes.
    Bytes End();
    std::vector<std::u16string> Lines() { return pal::host::TakeDebugOutput(); }

    std::u16string m_printerName;  // the record's printer name; a test may change it before SetUp

private:
    std::u16string m_openName;  // the printer opened as the record's printer
    std::unique_ptr<HandJobRecord> m_job;
    std::vector<HANDLE> m_printers;
};

} // namespace qltest
