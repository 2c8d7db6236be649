// Internal faults: a failed allocation or a broken invariant of the store.
//
// Such a fault is never turned into an error value or a Python exception.
// Its message goes to standard error and the process aborts at once, so no
// lock can be left behind in a half-updated state.
#pragma once

#include <string_view>

namespace tavrik {

[[noreturn]] void internal_fault(std::string_view message) noexcept;

}  // namespace tavrik
