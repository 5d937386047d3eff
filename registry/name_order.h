// The order of registry names: without regard to case, letters folded to upper case as Windows folds
// them. Folding ASCII is enough for the names the program and its tests use.
#pragma once

#include "registry_api.h"

#include <string>

struct FoldedLess {
    static constexpr WCHAR Fold(WCHAR c) { return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - (u'a' - u'A')) : c; }

    bool operator()(const std::basic_string<WCHAR>& a, const std::basic_string<WCHAR>& b) const
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
