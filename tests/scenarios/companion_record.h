// Everything a companion reported, kept for the tests to compare with the registry.
#pragma once

#include "companions.h"
#include "registry_tree.h"

#include <utility>
#include <vector>

struct CompanionRecord final : Report {
    struct Flag {
        RegString instance;
        LSTATUS status;
        DWORD type;
        std::vector<BYTE> data; // as read, when the status is ERROR_SUCCESS
    };
    std::vector<RegString> controlSets;
    std::vector<LSTATUS> classKeys;
    std::vector<Flag> controllers;
    std::vector<RegString> removed;
    std::vector<std::pair<RegString, LSTATUS>> left;
    std::vector<std::pair<RegString, LSTATUS>> notRead;
    std::vector<DWORD> namesTooLong;
    std::vector<LSTATUS> listEnds;

    void ControlSet(const WCHAR* classKeyPath) override { controlSets.emplace_back(classKeyPath); }
    void ClassKey(LSTATUS status) override { classKeys.push_back(status); }
    void Controller(const WCHAR* name, const FlagState& flag) override
    {
        std::vector<BYTE> data;
        if (flag.status == ERROR_SUCCESS) {
            data.assign(flag.data, flag.data + flag.size);
        }
        controllers.push_back({name, flag.status, flag.type, std::move(data)});
    }
    void Removed(const WCHAR* name) override { removed.emplace_back(name); }
    void Left(const WCHAR* name, LSTATUS status) override { left.emplace_back(name, status); }
    void NotRead(const WCHAR* name, LSTATUS status) override { notRead.emplace_back(name, status); }
    void NameTooLong(DWORD index) override { namesTooLong.push_back(index); }
    void ListEnded(LSTATUS status) override { listEnds.push_back(status); }
};
