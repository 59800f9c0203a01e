#include "RtlConsts.h"

#include <atomic>

namespace kv52804 {

namespace {
std::atomic<TResStringLoader> gLoader{&DefaultResStringLoader};
}

QString DefaultResStringLoader(const TResString& res) {
    return QString::fromUtf8(res.Text);
}

QString LoadResString(const TResString& res) {
    return gLoader.load()(res);
}

TResStringLoader SetResStringLoader(TResStringLoader loader) {
    return gLoader.exchange(loader ? loader : &DefaultResStringLoader);
}

} // namespace kv52804
