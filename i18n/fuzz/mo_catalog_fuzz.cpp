// Any bytes as an MO catalog: checking the header and looking texts up must
// never read outside the bytes, whatever they claim.
#include "MoCatalog.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

using namespace kv52804;

namespace {
void CheckInside(const uint8_t* data, size_t size, std::string_view text) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    if (p < data || p + text.size() >= data + size) // the zero after it is inside too
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TMoCatalog catalog;
    if (catalog.Open(data, size) != TMoCatalog::TCheck::Ok)
        return 0;
    std::string_view translation;
    uint32_t entry = 0;
    // Every readable source text, looked up again: found or damaged, the
    // result must stay within the catalog.
    const uint32_t n = std::min<uint32_t>(catalog.Count(), 512);
    for (uint32_t i = 0; i < n; ++i) {
        std::string_view source;
        if (!catalog.String(TMoCatalog::ttSource, i, source))
            continue;
        CheckInside(data, size, source);
        if (catalog.Find(source, entry) == TMoCatalog::TFind::Found &&
            catalog.String(TMoCatalog::ttTranslation, entry, translation)) {
            CheckInside(data, size, translation);
            IsValidUtf8(translation.data(), translation.size());
        }
    }
    // Keys that are not in it: empty, and the catalog's own tail.
    catalog.Find(std::string_view(), entry);
    const size_t tail = std::min<size_t>(size, 16);
    catalog.Find(std::string_view(reinterpret_cast<const char*>(data) + size - tail, tail), entry);
    return 0;
}
