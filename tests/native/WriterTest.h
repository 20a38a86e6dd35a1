// The job writer's machine: a gateway printer "Plain" on port FILE1: and an
// ordinary printer "Other" on FILE2:, the debug log sent to the debugger
// channel. Each test gets a fresh hand-built record on "Plain".
#pragma once
#include "support/HandJob.h"
#include "support/JobMachine.h"

namespace writertest {

using Bytes = std::vector<uint8_t>;

// Block header bytes as the receiver sees them.
Bytes DataHeader(uint32_t length);
Bytes HoleHeader(uint32_t length);
// count bytes counting up from `first`.
Bytes Pattern(size_t count, uint8_t first = 0);
Bytes Slice(const Bytes& b, size_t at, size_t count);

using qltest::Concat;
using qltest::Contains;

class WriterTest : public qltest::HandJobTest {
protected:
    WriterTest() : HandJobTest(u"Plain") {}
    void SetUp() override;
};

} // namespace writertest
