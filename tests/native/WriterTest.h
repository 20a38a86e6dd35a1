// A job record built by hand on a small machine: one printer "Plain" on port
// FILE1: and a second printer "Other" on FILE2:, the debug log sent to the
// debugger channel. Each test gets a fresh record with an open printer handle.
#pragma once
#include "palhost.h"
#include "printproc/JobContainers.h"
#include "printproc/PrintProcessorData.h"
#include "support/TestMachine.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace writertest {

using Bytes = std::vector<uint8_t>;

// Block header bytes as the receiver sees them.
Bytes DataHeader(uint32_t length);
Bytes HoleHeader(uint32_t length);
Bytes Concat(std::initializer_list<Bytes> parts);
// count bytes counting up from `first`.
Bytes Pattern(size_t count, uint8_t first = 0);
Bytes Slice(const Bytes& b, size_t at, size_t count);

using qltest::Contains;

class WriterTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    PPRINTPROCESSORDATA Data() { return m_job->Data(); }
    CHoleList& Holes() { return m_job->Holes(); }
    CBitmapCacheMap& Cache() { return m_job->Cache(); }
    HANDLE OpenPrinter(const std::u16string& name);

    // Starts a document on the record (on hAGNPPrinter when set).
    DWORD Start(BOOL fAGNP = FALSE);
    BOOL Write(const Bytes& bytes, DWORD mode = 0);
    // The single document the ports received; asserts there is exactly one.
    pal::host::PortDocument Document();
    Bytes DocumentBytes();
    std::vector<std::u16string> Lines() { return pal::host::TakeDebugOutput(); }

    std::u16string m_printerName = u"Plain";

private:
    std::unique_ptr<qltest::HandJobRecord> m_job;
    std::vector<HANDLE> m_printers;
};

} // namespace writertest
