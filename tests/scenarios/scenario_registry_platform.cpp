// Scenarios in the platform's registry, under a scratch key of HKEY_LOCAL_MACHINE.
#include "scenario_registry.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace {

void Check(LSTATUS status, const char* what)
{
    if (status != ERROR_SUCCESS) {
        throw std::runtime_error(std::string(what) + " failed with status " + std::to_string(status));
    }
}

void DeleteScratch()
{
    const LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, ScratchRootPath.c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        Check(status, "RegDeleteTreeW");
    }
}

HKEY CreateKey(const RegString& path)
{
    HKEY key = nullptr;
    Check(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
          "RegCreateKeyExW");
    return key;
}

void SetValues(const RegString& path, const std::vector<std::pair<RegString, RegValue>>& values)
{
    HKEY key = CreateKey(path);
    LSTATUS status = ERROR_SUCCESS;
    for (const auto& [name, value] : values) {
        if (status == ERROR_SUCCESS) {
            status = RegSetValueExW(key, name.c_str(), 0, value.type, value.data.data(),
                                    static_cast<DWORD>(value.data.size()));
        }
    }
    RegCloseKey(key);
    Check(status, "RegSetValueExW");
}

void ReadKey(HKEY key, const RegString& relative, RegistryTree& tree)
{
    ValueMap& values = tree[relative];
    std::vector<WCHAR> name(16384);
    std::vector<BYTE> data(1 << 16);
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD size = static_cast<DWORD>(data.size());
        DWORD type = REG_NONE;
        const LSTATUS status =
            RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &size);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        Check(status, "RegEnumValueW");
        values.emplace(RegString(name.data(), nameLength), RegValue{type, {data.begin(), data.begin() + size}});
    }
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        const LSTATUS status =
            RegEnumKeyExW(key, index, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        Check(status, "RegEnumKeyExW");
        const RegString subkeyName(name.data(), nameLength);
        HKEY subkey = nullptr;
        Check(RegOpenKeyExW(key, subkeyName.c_str(), 0, KEY_READ, &subkey), "RegOpenKeyExW");
        ReadKey(subkey, relative.empty() ? subkeyName : relative + WIDE("\\") + subkeyName, tree);
        RegCloseKey(subkey);
    }
}

} // namespace

ScenarioRegistry::ScenarioRegistry()
{
    DeleteScratch();
}

ScenarioRegistry::~ScenarioRegistry()
{
    DeleteScratch();
}

void ScenarioRegistry::Seed(const Scenario& scenario)
{
    if (scenario.NeedsFaults()) {
        throw std::logic_error("the platform's registry cannot be made to refuse access or fail writes");
    }
    if (!scenario.classKeyExists) {
        RegCloseKey(CreateKey(ScratchRootPath));
        return;
    }
    SetValues(ScenarioClassKeyPath, scenario.classKeyValues);
    for (const ScenarioKey& key : scenario.keys) {
        SetValues(ScenarioClassKeyPath + WIDE("\\") + key.path, key.values);
    }
}

std::optional<RegistryTree> ScenarioRegistry::Read(const RegString& path) const
{
    HKEY key = nullptr;
    const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key);
    if (status == ERROR_FILE_NOT_FOUND) {
        return std::nullopt;
    }
    Check(status, "RegOpenKeyExW");
    RegistryTree tree;
    ReadKey(key, RegString(), tree);
    RegCloseKey(key);
    return tree;
}

unsigned ScenarioRegistry::OpenHandles() const
{
    // GetProcessHandleCount answers 0 under Wine, so the handles are counted in the system's handle
    // list instead (NtQuerySystemInformation, class SystemHandleInformation), which Wine keeps too.
    using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    constexpr ULONG SystemHandleInformation = 16;
    constexpr LONG InfoLengthMismatch = static_cast<LONG>(0xC0000004);
    struct HandleEntry {
        ULONG processId;
        BYTE objectType;
        BYTE flags;
        USHORT handle;
        void* object;
        ACCESS_MASK access;
    };
    const auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) {
        throw std::runtime_error("NtQuerySystemInformation is not available");
    }
    std::vector<BYTE> buffer(1 << 16);
    LONG status = InfoLengthMismatch;
    while ((status = query(SystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), nullptr))
           == InfoLengthMismatch) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) {
        throw std::runtime_error("NtQuerySystemInformation failed with status " + std::to_string(status));
    }
    const ULONG count = *reinterpret_cast<const ULONG*>(buffer.data());
    const auto* entries = reinterpret_cast<const HandleEntry*>(buffer.data() + sizeof(void*));
    unsigned mine = 0;
    for (ULONG i = 0; i < count; ++i) {
        mine += entries[i].processId == GetCurrentProcessId() ? 1 : 0;
    }
    return mine;
}
