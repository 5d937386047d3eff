// The registry below a key as tests see it, built the same way from either registry, and the few
// helpers that spell value data.
#pragma once

#include "name_order.h"
#include "names_and_values.h"
#include "registry_api.h"

#include <map>
#include <string>
#include <vector>

// The name of the value the program writes, spelt by the tests on their own.
inline const RegString SettingName = WIDE("ForceHCResetOnResume");

using ValueMap = std::map<RegString, RegValue, FoldedLess>;
// Every key below (and including, at "") a root, by path relative to that root.
using RegistryTree = std::map<RegString, ValueMap, FoldedLess>;

[[nodiscard]] std::vector<BYTE> DwordBytes(DWORD value);
// UTF-16LE with the terminating NUL, as REG_SZ holds it.
[[nodiscard]] std::vector<BYTE> StringBytes(const RegString& text);
// `size` bytes starting with `first`, then a repeating pattern.
[[nodiscard]] std::vector<BYTE> BinaryBytes(BYTE first, std::size_t size);

// The tree after a pass that wrote the setting into each of the `written` keys and changed nothing else.
[[nodiscard]] RegistryTree WithSetting(RegistryTree tree, const std::vector<RegString>& written);

// A readable account of a tree for failure messages (names in ASCII, long ones shortened).
[[nodiscard]] std::string Describe(const RegistryTree& tree);
[[nodiscard]] std::string Narrow(const RegString& text);
