#pragma once
// Seams of the catalog lookup for the tests. Not installed: a program has no
// business with them, and they leave no symbol in the library.
#include "gnugettext.h"

#include <functional>
#include <utility>

namespace kv52804 {

struct TDomainSeams {
    // Runs in a lookup after it has opened the catalog and before it reads
    // from it, with no lock held. Set before any lookup.
    static void SetLockGapHook(TDomain& domain, std::function<void()> hook) {
        domain.FLockGapHook = std::move(hook);
    }
};

} // namespace kv52804
