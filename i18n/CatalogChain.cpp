#include "CatalogChain.h"

namespace kv52804 {

namespace {
uint64_t LittleEndian64(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

bool IsPadding(unsigned char c) {
    return c <= ' ' || c == 0x7F;
}
} // namespace

std::size_t ReadCatalogChain(uint64_t position, const TChainReader& read, const TChainSink& add) {
    std::size_t accepted = 0;
    uint64_t pos = position;
    while (pos != 0 && pos < CatalogChainPositionLimit) {
        unsigned char head[24];
        if (!read(pos, head, 8))
            break;
        const uint64_t next = LittleEndian64(head);
        if (next == 0)
            break; // the regular end of the chain
        // Each entry must lie before the next one; this also makes every
        // chain finite, however it was damaged.
        if (next >= CatalogChainPositionLimit || next < pos + 24 ||
            next - pos - 24 > CatalogChainNameLimit)
            break;
        if (!read(pos + 8, head + 8, 16))
            break;
        std::string name(next - pos - 24, '\0');
        if (!name.empty() && !read(pos + 24, name.data(), name.size()))
            break;
        std::size_t first = 0;
        std::size_t last = name.size();
        while (first < last && IsPadding(static_cast<unsigned char>(name[first])))
            ++first;
        while (last > first && IsPadding(static_cast<unsigned char>(name[last - 1])))
            --last;
        TStoredCatalogEntry entry{name.substr(first, last - first), LittleEndian64(head + 8),
                                  LittleEndian64(head + 16)};
        if (!add(std::move(entry)))
            break;
        ++accepted;
        pos = next;
    }
    return accepted;
}

} // namespace kv52804
