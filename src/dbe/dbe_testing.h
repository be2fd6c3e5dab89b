// Fault injection for tests of the table engine: makes the engine's next file writes
// fail as a full or broken disk would, so that tests can show what a failed write does.
#ifndef TALLYVOX_DBE_DBE_TESTING_H_
#define TALLYVOX_DBE_DBE_TESTING_H_

namespace tallyvox::dbe {

// After `skip` successful writes, the next `count` writes to any table file fail with
// `error_number` (an errno value) before touching the file. count 0 turns the fault off.
// Each record write, each append (record and end marker) and each header update (date,
// or date and count together when appending) is one write.
void SetWriteFaultForTesting(int error_number, int count, int skip = 0);

}  // namespace tallyvox::dbe

#endif  // TALLYVOX_DBE_DBE_TESTING_H_
