// Any bytes as a program file with a stored-catalog chain: the walk must stay
// inside the file, end, and hand out only names it has not seen.
#include "CatalogChain.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <set>

using namespace kv52804;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4)
        return 0;
    // The first four bytes choose where the chain starts.
    uint64_t position = 0;
    for (int i = 3; i >= 0; --i)
        position = position << 8 | data[i];
    position %= size + 1;
    const auto read = [&](uint64_t pos, void* buf, std::size_t len) {
        if (pos > size || len > size - pos)
            return false;
        std::memcpy(buf, data + pos, len);
        return true;
    };
    std::set<std::string> names;
    const auto add = [&](TStoredCatalogEntry&& e) {
        std::string lower = e.Name;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        if (!e.Name.empty() && (static_cast<unsigned char>(e.Name.front()) <= ' ' ||
                                static_cast<unsigned char>(e.Name.back()) <= ' '))
            std::abort(); // names are trimmed
        return names.insert(lower).second;
    };
    const std::size_t accepted = ReadCatalogChain(position, read, add);
    if (accepted != names.size())
        std::abort();
    return 0;
}
