#pragma once
// A whole file mapped read-only into memory, released on every path.
#include "kv_i18n_export.h"
#include <QString>
#include <cstddef>

namespace kv52804 {

class KV_I18N_EXPORT TMappedFile {
public:
    TMappedFile() = default;
    ~TMappedFile() { Close(); }
    TMappedFile(const TMappedFile&) = delete;
    TMappedFile& operator=(const TMappedFile&) = delete;

    // Maps path. Raises EGnuGettext: "Cannot open file <path>" when it cannot
    // be opened, "Cannot create memory map on file <path>" when its size
    // cannot be had or it is empty, "Cannot map file <path> into memory.
    // Reason: <OS text>" when mapping fails. Nothing stays open on failure.
    void Open(const QString& path);
    void Close() noexcept;

    bool IsOpen() const { return FData != nullptr; }
    const unsigned char* Data() const { return FData; }
    std::size_t Size() const { return FSize; }

private:
    const unsigned char* FData = nullptr;
    std::size_t FSize = 0;
};

} // namespace kv52804
