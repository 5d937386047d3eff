// The order of registry names: without regard to case, letters folded to upper case as Windows folds
// them, so that '_' and the other characters between 'Z' and 'a' sort after letters. Folding ASCII is
// enough for the names the program and its tests use.
#pragma once

#include "names_and_values.h"

struct FoldedLess {
    static constexpr WCHAR Fold(WCHAR c) { return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - (u'a' - u'A')) : c; }

    bool operator()(const RegString& a, const RegString& b) const
    {
        const std::size_t common = a.size() < b.size() ? a.size() : b.size();
        for (std::size_t i = 0; i < common; ++i) {
            const WCHAR x = Fold(a[i]);
            const WCHAR y = Fold(b[i]);
            if (x != y) {
                return x < y;
            }
        }
        return a.size() < b.size();
    }
};
