#pragma once
// The chain of catalogs stored at the end of a program file.
//
// At an entry's position E: 8 bytes, the position of the next entry (little-
// endian; 0 ends the chain); then 8 bytes, the catalog's offset in the file;
// 8 bytes, its size; then its name, which fills the bytes from E + 24 up to
// the next entry's position, padded with blanks or control characters.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace kv52804 {

struct TStoredCatalogEntry {
    std::string Name; // relative path, '/' separators, trimmed
    uint64_t Offset = 0;
    uint64_t Size = 0;
};

// Positions at or past this are damage: the packaging tool never writes them.
inline constexpr uint64_t CatalogChainPositionLimit = uint64_t(1) << 31;
// Longer names are damage too; reading one would only allocate garbage.
inline constexpr uint64_t CatalogChainNameLimit = 4096;

// Reads len bytes at pos into buf; false when they are not all there.
using TChainReader = std::function<bool(uint64_t pos, void* buf, std::size_t len)>;
// Takes one entry; false (a name already taken) ends the chain.
using TChainSink = std::function<bool(TStoredCatalogEntry&& entry)>;

// Walks the chain from position. Damage of any kind (a read past the end, a
// position at or past the limit, an entry that does not move forward, a name
// refused by the sink) ends the walk silently; the entries before it stay.
// Returns the number of entries accepted.
std::size_t ReadCatalogChain(uint64_t position, const TChainReader& read, const TChainSink& add);

} // namespace kv52804
