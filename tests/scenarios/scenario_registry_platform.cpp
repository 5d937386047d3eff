// Scenarios in the platform's registry, under a scratch key of HKEY_LOCAL_MACHINE. A key that refuses
// access gets an access control list that says so; Wine enforces it while its wineserver runs, which
// this process keeps doing.
#include "scenario_registry.h"

#include <sddl.h>
#include <winternl.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

void Check(LSTATUS status, const char* what)
{
    if (status != ERROR_SUCCESS) {
        throw std::runtime_error(std::string(what) + " failed with status " + std::to_string(status));
    }
}

// The native API, for the keys the registry functions cannot name: a name holding a NUL, which
// they would cut short, and a registry link, which they would follow. It takes a name with its length.
struct NativeApi {
    using CreateKey = LONG(WINAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, ULONG, UNICODE_STRING*, ULONG, ULONG*);
    using OpenKey = LONG(WINAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*);
    using DeleteKey = LONG(WINAPI*)(HANDLE);
    CreateKey create;
    OpenKey open;
    DeleteKey remove;
};

const NativeApi& Native()
{
    static const NativeApi api = [] {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        const auto find = [&](const char* name) {
            void* function = reinterpret_cast<void*>(GetProcAddress(ntdll, name));
            if (function == nullptr) {
                throw std::runtime_error(std::string(name) + " is not available");
            }
            return function;
        };
        return NativeApi{reinterpret_cast<NativeApi::CreateKey>(find("NtCreateKey")),
                         reinterpret_cast<NativeApi::OpenKey>(find("NtOpenKey")),
                         reinterpret_cast<NativeApi::DeleteKey>(find("NtDeleteKey"))};
    }();
    return api;
}

constexpr LONG ObjectNameNotFound = static_cast<LONG>(0xC0000034);
constexpr ULONG OpenLinkItself = 0x00000100; // OBJ_OPENLINK
constexpr ULONG CreateLink = 0x00000002;     // REG_OPTION_CREATE_LINK

// `name` below `parent`, whole, links not followed: for reading and deleting the tree as it is.
OBJECT_ATTRIBUTES Attributes(HKEY parent, const RegString& name, UNICODE_STRING& text)
{
    text.Buffer = const_cast<WCHAR*>(name.data());
    text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OpenLinkItself, parent, nullptr);
    return attributes;
}

// The subkey, or nullptr when there is none.
HKEY OpenSubkey(HKEY parent, const RegString& name, ACCESS_MASK access)
{
    UNICODE_STRING text;
    OBJECT_ATTRIBUTES attributes = Attributes(parent, name, text);
    HANDLE key = nullptr;
    const LONG status = Native().open(&key, access, &attributes);
    if (status == ObjectNameNotFound) {
        return nullptr;
    }
    if (status != 0) {
        throw std::runtime_error("NtOpenKey failed with status " + std::to_string(status));
    }
    return static_cast<HKEY>(key);
}

HKEY CreateSubkey(HKEY parent, const RegString& name, ULONG options)
{
    UNICODE_STRING text;
    OBJECT_ATTRIBUTES attributes = Attributes(parent, name, text);
    HANDLE key = nullptr;
    const LONG status = Native().create(&key, KEY_ALL_ACCESS | KEY_CREATE_LINK, &attributes, 0, nullptr, options, nullptr);
    if (status != 0) {
        throw std::runtime_error("NtCreateKey failed with status " + std::to_string(status));
    }
    return static_cast<HKEY>(key);
}

// A subkey's name as the registry holds it, all of it.
bool SubkeyName(HKEY key, DWORD index, RegString& name)
{
    std::vector<WCHAR> buffer(16384);
    DWORD length = static_cast<DWORD>(buffer.size());
    const LSTATUS status = RegEnumKeyExW(key, index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) {
        return false;
    }
    Check(status, "RegEnumKeyExW");
    name.assign(buffer.data(), length);
    return true;
}

// Deletes the subkey and everything below it; a link goes, never what it leads to.
void DeleteTree(HKEY parent, const RegString& name)
{
    const HKEY key = OpenSubkey(parent, name, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE);
    if (key == nullptr) {
        return;
    }
    RegString subkey;
    while (SubkeyName(key, 0, subkey)) {
        DeleteTree(key, subkey);
    }
    const LONG status = Native().remove(key);
    RegCloseKey(key);
    if (status != 0) {
        throw std::runtime_error("NtDeleteKey failed with status " + std::to_string(status));
    }
}

// Everyone may read, and nothing more: as an instance is to a program without administrator rights.
constexpr const WCHAR* ReadOnlyAccess = L"D:P(A;;KR;;;WD)";
// No one is granted anything, as the class key's "Properties" is to all but SYSTEM.
constexpr const WCHAR* NoAccess = L"D:P";
// Everyone may list the subkeys (KEY_ENUMERATE_SUB_KEYS), and do nothing more.
constexpr const WCHAR* ListingOnlyAccess = L"D:P(A;;0x8;;;WD)";
// Everyone may do anything: how a restricted key is opened up again for the tests' own reading.
constexpr const WCHAR* FullAccess = L"D:P(A;;KA;;;WD)";

// The keys a scenario restricted (below the class key, "" for the class key itself), with their lists;
// this process seeds one scenario at a time.
std::vector<std::pair<RegString, const WCHAR*>> restricted;

// Sets the list of a key below the class key. Each key is opened for WRITE_DAC alone, which its owner,
// this process, keeps whatever the list grants; a key below the class key through the native API, so
// that a name holding a NUL can be restricted too.
void SetAccess(const RegString& relative, const WCHAR* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        Check(static_cast<LSTATUS>(GetLastError()), "ConvertStringSecurityDescriptorToSecurityDescriptorW");
    }
    HKEY classKey = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, ScenarioClassKeyPath.c_str(), 0, WRITE_DAC, &classKey);
    if (status == ERROR_SUCCESS) {
        const HKEY key = relative.empty() ? classKey : OpenSubkey(classKey, relative, WRITE_DAC);
        status = key == nullptr ? ERROR_FILE_NOT_FOUND : RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
        if (key != nullptr && key != classKey) {
            RegCloseKey(key);
        }
        RegCloseKey(classKey);
    }
    LocalFree(descriptor);
    Check(status, "RegSetKeySecurity");
}

void Restrict(const RegString& relative, KeyBehaviour behaviour)
{
    const WCHAR* sddl = behaviour == KeyBehaviour::RefusesWriteAccess  ? ReadOnlyAccess
                        : behaviour == KeyBehaviour::RefusesAnyAccess  ? NoAccess
                        : behaviour == KeyBehaviour::GrantsOnlyListing ? ListingOnlyAccess
                                                                       : nullptr;
    if (sddl != nullptr) {
        SetAccess(relative, sddl);
        restricted.emplace_back(relative, sddl);
    }
}

// Lets the tests read and remove what the programs may not.
void OpenUpRestricted()
{
    for (const auto& [relative, sddl] : restricted) {
        SetAccess(relative, FullAccess);
    }
}

void RestrictAgain()
{
    for (const auto& [relative, sddl] : restricted) {
        SetAccess(relative, sddl);
    }
}

void DeleteScratch()
{
    OpenUpRestricted();
    restricted.clear();
    // The native API takes no predefined key as the parent: the scratch key's own parent is opened.
    const std::size_t cut = ScratchRootPath.rfind(WIDE('\\'));
    HKEY parent = nullptr;
    Check(RegOpenKeyExW(HKEY_LOCAL_MACHINE, ScratchRootPath.substr(0, cut).c_str(), 0, KEY_ALL_ACCESS, &parent),
          "RegOpenKeyExW");
    DeleteTree(parent, ScratchRootPath.substr(cut + 1));
    RegCloseKey(parent);
}

HKEY CreateKey(const RegString& path)
{
    HKEY key = nullptr;
    Check(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
          "RegCreateKeyExW");
    return key;
}

void SetValues(HKEY key, const std::vector<std::pair<RegString, RegValue>>& values)
{
    for (const auto& [name, value] : values) {
        Check(RegSetValueExW(key, name.c_str(), 0, value.type, value.data.data(), static_cast<DWORD>(value.data.size())),
              "RegSetValueExW");
    }
}

// The kernel's name of a key below HKEY_LOCAL_MACHINE\SOFTWARE as this process sees it: a 32-bit
// process on a 64-bit system (or under 64-bit Wine) sees SOFTWARE\Wow6432Node there.
RegString KernelNameBelowSoftware(const RegString& softwarePath)
{
    const RegString software = WIDE("SOFTWARE\\");
    if (softwarePath.compare(0, software.size(), software) != 0) {
        throw std::logic_error("the scratch key is expected below SOFTWARE");
    }
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64)) {
        Check(static_cast<LSTATUS>(GetLastError()), "IsWow64Process");
    }
    return WIDE("\\REGISTRY\\MACHINE\\") + software + (wow64 ? WIDE("Wow6432Node\\") : RegString())
           + softwarePath.substr(software.size());
}

// One scenario key below the class key, its path's parts created one by one with their whole names.
void SeedKey(HKEY classKey, const ScenarioKey& scenarioKey)
{
    HKEY key = classKey;
    RegString rest = scenarioKey.path;
    for (;;) {
        const std::size_t cut = rest.find(WIDE('\\'));
        const bool last = cut == RegString::npos;
        const HKEY parent = key;
        key = CreateSubkey(parent, rest.substr(0, cut), last && scenarioKey.linkTo ? CreateLink : 0);
        if (parent != classKey) {
            RegCloseKey(parent);
        }
        if (last) {
            break;
        }
        rest = rest.substr(cut + 1);
    }
    if (scenarioKey.linkTo) {
        // The kernel's name of the key it leads to, without a terminating NUL.
        const RegString target = KernelNameBelowSoftware(ScenarioClassKeyPath)
                                 + (scenarioKey.linkTo->empty() ? RegString() : WIDE("\\") + *scenarioKey.linkTo);
        SetValues(key, {{WIDE("SymbolicLinkValue"),
                         RegValue{REG_LINK, {reinterpret_cast<const BYTE*>(target.data()),
                                             reinterpret_cast<const BYTE*>(target.data() + target.size())}}}});
    } else {
        SetValues(key, scenarioKey.values);
    }
    RegCloseKey(key);
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
    RegString subkeyName;
    for (DWORD index = 0; SubkeyName(key, index, subkeyName); ++index) {
        // As it is: a link read as itself, a name holding a NUL whole.
        const HKEY subkey = OpenSubkey(key, subkeyName, KEY_READ);
        if (subkey == nullptr) {
            throw std::runtime_error("a subkey listed could not be opened");
        }
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
    const HKEY classKey = CreateKey(ScenarioClassKeyPath);
    SetValues(classKey, scenario.classKeyValues);
    for (const ScenarioKey& key : scenario.keys) {
        SeedKey(classKey, key);
    }
    RegCloseKey(classKey);
    // Last, so that seeding is not refused.
    for (const ScenarioKey& key : scenario.keys) {
        Restrict(key.path, key.behaviour);
    }
    Restrict(RegString(), scenario.classKeyBehaviour);
}

std::optional<RegistryTree> ScenarioRegistry::Read(const RegString& path) const
{
    // The tests see every key, those that refuse the programs included.
    OpenUpRestricted();
    std::optional<RegistryTree> tree = ReadTree(path);
    RestrictAgain();
    return tree;
}

RegString ScenarioRegistry::KernelName(const RegString& path) const
{
    return KernelNameBelowSoftware(path);
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
