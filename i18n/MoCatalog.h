#pragma once
// Reading one GNU gettext MO catalog that lies in memory (a mapped file or a
// part of one). Nothing here allocates or trusts the catalog: the header is
// checked once, and every string is bounds-checked before it is handed out,
// so a damaged catalog can never make a lookup read outside its bytes.
#include "kv_i18n_export.h"
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kv52804 {

class KV_I18N_EXPORT TMoCatalog {
public:
    enum class TCheck {
        Ok,
        BadMagic,        // too short for a magic number, or not the MO magic in either order
        HeaderTruncated, // the magic is right but the fixed header does not fit
        TablesOutside,   // a string table runs past the end of the catalog
    };
    enum class TFind { Found, NotFound, Damaged };
    enum TTable { ttSource = 12, ttTranslation = 16 }; // header positions of the two tables

    // Checks the header of the size bytes at data and remembers them. Until a
    // call returns Ok the catalog has no entries.
    TCheck Open(const unsigned char* data, std::size_t size);

    uint32_t Count() const { return FCount; }
    bool BigEndian() const { return FBigEndian; }

    // The index-th string of a table, without its terminating zero byte.
    // False when its offset or length point outside the catalog or the byte
    // after it is not the zero the format requires.
    bool String(TTable table, uint32_t index, std::string_view& out) const;

    // Searches the source texts for key, byte for byte: through the
    // catalog's hash table when it has a usable one, otherwise by halving the
    // sorted table. Found: entry is the key's index; its translation is
    // String(ttTranslation, entry), left to the caller, which may have it
    // already. Damaged: entry is the one whose source text is unusable.
    TFind Find(std::string_view key, uint32_t& entry) const;

private:
    uint32_t Word(std::size_t pos) const;

    const unsigned char* FData = nullptr;
    std::size_t FSize = 0;
    bool FBigEndian = false;
    uint32_t FCount = 0;
    uint32_t FSourceTable = 0;
    uint32_t FTranslationTable = 0;
    uint32_t FHashSize = 0; // 0: no usable hash table
    uint32_t FHashTable = 0;
};

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no
// truncated sequences.
KV_I18N_EXPORT bool IsValidUtf8(const char* text, std::size_t length);

} // namespace kv52804
