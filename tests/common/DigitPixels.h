#pragma once
// Where to look in a rendered digit, for the widget's tests and the tests of
// forms that hold digits.
#include "VornLED7Seg.h"

#include <algorithm>
#include <vector>

using namespace kv52804;

// A pixel well inside a segment: the mean of its distinct corners, which lies
// inside every outline shape the widget uses.
inline QPoint Inside(const TVornLED7Seg::TOutline& o) {
    std::vector<QPoint> distinct;
    for (QPoint p : o)
        if (std::find(distinct.begin(), distinct.end(), p) == distinct.end())
            distinct.push_back(p);
    QPoint sum;
    for (QPoint p : distinct)
        sum += p;
    return sum / double(distinct.size());
}
