// Scenarios in the platform's registry, under a scratch key of HKEY_LOCAL_MACHINE. A key that refuses
// access gets an access control list that says so; Wine enforces it while its wineserver runs, which
// this process keeps doing.
#include "scenario_registry.h"

#include <sddl.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

// Everyone may read, and nothing more: as an instance is to a program without administrator rights.
constexpr const WCHAR* ReadOnlyAccess = L"D:P(A;;KR;;;WD)";
// No one is granted anything, as the class key's "Properties" is to all but SYSTEM.
constexpr const WCHAR* NoAccess = L"D:P";
// Everyone may do anything: how a restricted key is opened up again for the tests' own reading.
constexpr const WCHAR* FullAccess = L"D:P(A;;KA;;;WD)";

// The keys a scenario restricted, with their lists; this process seeds one scenario at a time.
std::vector<std::pair<RegString, const WCHAR*>> restricted;

void Check(LSTATUS status, const char* what)
{
    if (status != ERROR_SUCCESS) {
        throw std::runtime_error(std::string(what) + " failed with status " + std::to_string(status));
    }
}

void SetAccess(const RegString& path, const WCHAR* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        Check(static_cast<LSTATUS>(GetLastError()), "ConvertStringSecurityDescriptorToSecurityDescriptorW");
    }
    // The key's owner, this process, may always change its list, whatever the list grants.
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, WRITE_DAC, &key);
    if (status == ERROR_SUCCESS) {
        status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
        RegCloseKey(key);
    }
    LocalFree(descriptor);
    Check(status, "RegSetKeySecurity");
}

void Restrict(const RegString& path, KeyBehaviour behaviour)
{
    const WCHAR* sddl = behaviour == KeyBehaviour::RefusesWriteAccess ? ReadOnlyAccess
                        : behaviour == KeyBehaviour::RefusesAnyAccess ? NoAccess
                                                                     : nullptr;
    if (sddl != nullptr) {
        SetAccess(path, sddl);
        restricted.emplace_back(path, sddl);
    }
}

// Lets the tests read and remove what the programs may not.
void OpenUpRestricted()
{
    for (const auto& [path, sddl] : restricted) {
        SetAccess(path, FullAccess);
    }
}

void RestrictAgain()
{
    for (const auto& [path, sddl] : restricted) {
        SetAccess(path, sddl);
    }
}

void DeleteScratch()
{
    OpenUpRestricted();
    restricted.clear();
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

std::optional<RegistryTree> ReadTree(const RegString& path)
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
    if (scenario.NeedsFailingCalls()) {
        throw std::logic_error("the platform's registry cannot be made to fail a call");
    }
    if (!scenario.classKeyExists) {
        RegCloseKey(CreateKey(ScratchRootPath));
        return;
    }
    SetValues(ScenarioClassKeyPath, scenario.classKeyValues);
    for (const ScenarioKey& key : scenario.keys) {
        SetValues(ScenarioClassKeyPath + WIDE("\\") + key.path, key.values);
    }
    // Last, so that seeding the instances is not refused.
    for (const ScenarioKey& key : scenario.keys) {
        Restrict(ScenarioClassKeyPath + WIDE("\\") + key.path, key.behaviour);
    }
    Restrict(ScenarioClassKeyPath, scenario.classKeyBehaviour);
}

std::optional<RegistryTree> ScenarioRegistry::Read(const RegString& path) const
{
    // The tests see every key, those that refuse the programs included.
    OpenUpRestricted();
    std::optional<RegistryTree> tree = ReadTree(path);
    RestrictAgain();
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
