// What a fuzz target does when the code under test breaks a rule: say which and abort, so
// libFuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace folio::fuzz {

[[noreturn]] inline void broken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

} // namespace folio::fuzz
