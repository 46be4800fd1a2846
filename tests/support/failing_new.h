// A replacement of the global operator new for the allocation tests: while a limit is
// set, every allocation of at least that many bytes fails. Linked into its own test
// binary, since it replaces the operator for the whole program.
#ifndef PORTWRANGLER_TESTS_SUPPORT_FAILING_NEW_H_
#define PORTWRANGLER_TESTS_SUPPORT_FAILING_NEW_H_

#include <cstddef>

/// Makes allocations of `bytes` or more fail from now on; 0 lets every one through.
void fail_allocations_from(size_t bytes);

/// Bytes the C heap holds now (operator new and Expat's malloc alike), or 0 where the
/// platform does not tell.
size_t heap_bytes_held();

/// Whether heap_bytes_held means anything here.
bool heap_bytes_known();

#endif  // PORTWRANGLER_TESTS_SUPPORT_FAILING_NEW_H_
