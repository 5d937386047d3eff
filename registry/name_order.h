// Registry names as strings, and their order: without regard to case, letters folded to upper case as
// Windows folds them. Folding ASCII is enough for the names the program and its tests use.
#pragma once

#include "registry_api.h"

#include <string>

using RegString = std::basic_string<WCHAR>;

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
