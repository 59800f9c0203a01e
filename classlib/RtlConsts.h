#pragma once
// The runtime's built-in message texts and their loader.
//
// A message text is identified by the address of its English original. Every
// text is read through LoadResString, which calls the installed loader; the
// translation engine replaces the loader at start-up so that these texts are
// shown in the user's language, and puts the previous one back at the end.
#include "kv_classlib_export.h"
#include <QString>

namespace kv52804 {

struct KV_CLASSLIB_EXPORT TResString {
    const char* Text; // English original, UTF-8, zero-terminated
};

inline constexpr TResString SInvalidInteger{"'%s' is not a valid integer value"};
inline constexpr TResString SRangeError{"Range check error"};
inline constexpr TResString SAssignError{"Cannot assign a %s to a %s"};

using TResStringLoader = QString (*)(const TResString& res);

// The built-in loader: the English original.
KV_CLASSLIB_EXPORT QString DefaultResStringLoader(const TResString& res);

// Loads a message text through the current loader.
KV_CLASSLIB_EXPORT QString LoadResString(const TResString& res);

// Installs a loader (nullptr restores the built-in one) and returns the one it
// replaced. Safe to call while other threads load texts.
KV_CLASSLIB_EXPORT TResStringLoader SetResStringLoader(TResStringLoader loader);

} // namespace kv52804
