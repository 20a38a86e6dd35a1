// The packed-stream decoder on the shared job machine ("GW"): jobs go through the
// simulated spooler and are read back through CNPDecompress, the way the job
// reader does it. The debug log goes to the debugger channel so tests can see
// which lines a decode logged.
#pragma once
#include "diag/DbgLog.h"
#include "support/TestMachine.h"
#include "emz/NPDecompress.h"
#include "palhost.h"
#include "tools/lib/EmzPack.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace emztest {

using Bytes = std::vector<uint8_t>;

struct Decoded {
    Bytes data;                 // bytes of all successful reads, in order
    std::vector<DWORD> counts;  // bytesRead of each successful read
    bool endedFalse = false;    // the last read returned FALSE with 0 bytes
    size_t calls = 0;
};

// Queues `job` on the test printer and opens its data for reading.
HANDLE OpenJob(const Bytes& job);

// Queues `job` on the test printer, opens its data and reads it through a
// decoder with reads of `readSize` bytes until ReadPrinter returns FALSE (at
// most maxCalls reads). Checks the read contract on the way: every TRUE read
// returns 1..readSize bytes, every one but the last fills the buffer, a FALSE
// read returns 0 bytes, and a read after the end is FALSE again.
Decoded Decode(const Bytes& job, DWORD readSize, size_t maxCalls = 1u << 24);

// Test data: random bytes (incompressible) or text-like runs (compressible).
Bytes RandomBytes(std::mt19937& rng, size_t n);
Bytes TextBytes(std::mt19937& rng, size_t n);

Bytes Concat(std::initializer_list<std::span<const uint8_t>> parts);
Bytes Deflate(std::span<const uint8_t> input, int level = -1);
Bytes Block(std::span<const uint8_t> payload, uint32_t headerValue = 0);

using qltest::Contains;
using qltest::ExpectLines;
using qltest::Dump;

class EmzTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Debugger lines logged since the last call.
    std::vector<std::u16string> Lines();
    // Stops logging for bulk cases (restored in TearDown).
    void Quiet();
};

} // namespace emztest
