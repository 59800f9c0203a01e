#include "MoCatalog.h"

#include <algorithm>
#include <cstring>

namespace kv52804 {

namespace {
constexpr uint32_t MoMagic = 0x950412DE; // as read little-endian from a little-endian catalog
constexpr uint32_t MoMagicSwapped = 0xDE120495; // the same bytes written big-endian
constexpr std::size_t HeaderSize = 28; // magic, revision, count, two tables, hash size and position
constexpr std::size_t EntrySize = 8;   // length and offset of one string
constexpr std::size_t HashSlotSize = 4; // one entry number, 1-based; 0 ends a probe chain

uint32_t LittleEndian(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint32_t BigEndianWord(const unsigned char* p) {
    return uint32_t(p[3]) | uint32_t(p[2]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[0]) << 24;
}

// True when count entries starting at table fit into size bytes. Worked out by
// subtraction so that nothing can overflow.
bool TableFits(uint32_t table, uint32_t count, std::size_t size, std::size_t itemSize = EntrySize) {
    return table <= size && count <= (size - table) / itemSize;
}

// The hash msgfmt files its source texts under (P. J. Weinberger's, on 32-bit
// words), so that a text's probe chain starts where msgfmt put it.
uint32_t TextHash(std::string_view text) {
    uint32_t h = 0;
    for (const char ch : text) {
        h = (h << 4) + static_cast<unsigned char>(ch);
        const uint32_t top = h & 0xF0000000u;
        if (top != 0)
            h ^= top >> 24 ^ top;
    }
    return h;
}
} // namespace

// Every word of the catalog after the magic goes through here, the one place
// that knows the catalog's byte order.
uint32_t TMoCatalog::Word(std::size_t pos) const {
    return FBigEndian ? BigEndianWord(FData + pos) : LittleEndian(FData + pos);
}

TMoCatalog::TCheck TMoCatalog::Open(const unsigned char* data, std::size_t size) {
    *this = TMoCatalog();
    if (size < 4)
        return TCheck::BadMagic;
    const uint32_t magic = LittleEndian(data);
    if (magic != MoMagic && magic != MoMagicSwapped)
        return TCheck::BadMagic;
    if (size < HeaderSize)
        return TCheck::HeaderTruncated;
    TMoCatalog c;
    c.FData = data;
    c.FSize = size;
    c.FBigEndian = magic == MoMagicSwapped;
    const uint32_t count = c.Word(8);
    const uint32_t source = c.Word(ttSource);
    const uint32_t translation = c.Word(ttTranslation);
    if (!TableFits(source, count, size) || !TableFits(translation, count, size))
        return TCheck::TablesOutside;
    c.FCount = count;
    c.FSourceTable = source;
    c.FTranslationTable = translation;
    // The hash table only speeds lookups up: a catalog without one (msgfmt
    // --no-hash) or with one that does not fit is searched by halving. Fewer
    // than three slots cannot be probed (the step is taken modulo size - 2).
    const uint32_t hashSize = c.Word(20);
    const uint32_t hashTable = c.Word(24);
    if (hashSize > 2 && TableFits(hashTable, hashSize, size, HashSlotSize)) {
        c.FHashSize = hashSize;
        c.FHashTable = hashTable;
    }
    *this = c;
    return TCheck::Ok;
}

bool TMoCatalog::String(TTable table, uint32_t index, std::string_view& out) const {
    if (index >= FCount)
        return false;
    const std::size_t entry =
        (table == ttSource ? FSourceTable : FTranslationTable) + std::size_t(index) * EntrySize;
    const uint32_t length = Word(entry);
    const uint32_t offset = Word(entry + 4);
    // The string and the zero after it must both lie inside the catalog.
    if (offset > FSize || length >= FSize - offset || FData[offset + length] != 0)
        return false;
    out = std::string_view(reinterpret_cast<const char*>(FData) + offset, length);
    return true;
}

TMoCatalog::TFind TMoCatalog::Find(std::string_view key, uint32_t& entry) const {
    // Orders key against the entry at index; false when its source text is
    // unusable.
    const auto probe = [&](uint32_t index, int& order) {
        entry = index;
        std::string_view source;
        if (!String(ttSource, index, source))
            return false;
        order = key.compare(source);
        return true;
    };
    int order = 1;
    if (FHashSize != 0) {
        // Open addressing with a second hash for the step. A slot numbering no
        // entry of the two tables (revision 1 keeps system-dependent strings
        // there) is passed over; the probe count bounds a table without an
        // empty slot.
        const uint32_t hash = TextHash(key);
        const uint32_t step = 1 + hash % (FHashSize - 2);
        uint32_t slot = hash % FHashSize;
        for (uint32_t probes = 0; probes < FHashSize; ++probes) {
            const uint32_t number = Word(FHashTable + std::size_t(slot) * HashSlotSize);
            if (number == 0)
                return TFind::NotFound;
            if (number <= FCount) {
                if (!probe(number - 1, order))
                    return TFind::Damaged;
                if (order == 0)
                    return TFind::Found;
            }
            slot = slot < FHashSize - step ? slot + step : slot - (FHashSize - step);
        }
        return TFind::NotFound;
    }
    uint32_t low = 0;
    uint32_t high = FCount;
    while (low < high) {
        const uint32_t mid = low + (high - low) / 2;
        if (!probe(mid, order))
            return TFind::Damaged;
        // Unsigned byte order, the order msgfmt sorts in.
        if (order == 0)
            return TFind::Found;
        if (order < 0)
            high = mid;
        else
            low = mid + 1;
    }
    return TFind::NotFound;
}

bool IsValidUtf8(const char* text, std::size_t length) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    const auto* end = p + length;
    while (p < end) {
        // Runs of ASCII, the common case, eight bytes at a time.
        while (end - p >= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            if (w & 0x8080808080808080ull)
                break;
            p += 8;
        }
        if (p == end)
            break;
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t n;
        uint32_t cp;
        uint32_t min;
        if (c >= 0xC2 && c <= 0xDF) {
            n = 1, cp = c & 0x1F, min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2, cp = c & 0x0F, min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3, cp = c & 0x07, min = 0x10000;
        } else {
            return false; // continuation byte, overlong two-byte lead, or beyond U+10FFFF
        }
        if (std::size_t(end - p) <= n)
            return false;
        for (std::size_t i = 1; i <= n; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (p[i] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        p += n + 1;
    }
    return true;
}

} // namespace kv52804
