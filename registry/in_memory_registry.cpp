// The in-memory registry: a tree of keys and values, handles with the access they were granted,
// injected failures and the record of calls.
#include "in_memory_registry.h"

#include <algorithm>
#include <stdexcept>

namespace in_memory {

namespace {

std::vector<RegString> Split(const RegString& path)
{
    std::vector<RegString> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(u'\\', start);
        if (end == RegString::npos) {
            end = path.size();
        }
        if (end > start) {
            parts.emplace_back(path, start, end - start);
        }
        start = end + 1;
    }
    return parts;
}

RegString FromNullable(const WCHAR* text)
{
    return text == nullptr ? RegString() : RegString(text);
}

constexpr REGSAM WriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

// What an operation returns through HKEY* on failure: a handle that was never open, so a caller
// that closes it anyway is caught as a bad close.
HKEY const NeverOpened = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0xBAD0));

} // namespace

// Links followed in one open before it fails, as the platform gives up on a loop of links.
constexpr unsigned MaxLinkDepth = 16;

struct Registry::Key {
    RegString name;
    Key* parent = nullptr;
    std::optional<RegString> linkTarget; // below HKEY_LOCAL_MACHINE, for a registry link
    Access access = Access::Full;
    std::map<RegString, std::unique_ptr<Key>, FoldedLess> subkeys;
    std::map<RegString, RegValue, FoldedLess> values;
};

Registry& TheRegistry()
{
    static Registry registry;
    return registry;
}

Registry::Registry()
{
    Reset();
}

Registry::~Registry() = default;

void Registry::Reset()
{
    root_ = std::make_unique<Key>();
    rootHandle_ = {root_.get(), ~REGSAM{0}};
    handles_.clear();
    peakOpenHandles_ = 0;
    badCloses_ = 0;
    nthCallFailures_.clear();
    keyFailures_.clear();
    callCounts_.clear();
    calls_.clear();
}

Registry::Key* Registry::Find(const Key& from, const RegString& path, bool followLast, unsigned depth) const
{
    const Key* key = &from;
    const std::vector<RegString> parts = Split(path);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        auto found = key->subkeys.find(parts[i]);
        if (found == key->subkeys.end()) {
            return nullptr;
        }
        key = found->second.get();
        if (key->linkTarget && (followLast || i + 1 < parts.size())) {
            if (depth == MaxLinkDepth) {
                return nullptr;
            }
            key = Find(*root_, *key->linkTarget, true, depth + 1);
            if (key == nullptr) {
                return nullptr;
            }
        }
    }
    return const_cast<Key*>(key);
}

Registry::Key& Registry::FindOrCreate(const RegString& path)
{
    Key* key = root_.get();
    for (const RegString& part : Split(path)) {
        auto& slot = key->subkeys[part];
        if (!slot) {
            slot = std::make_unique<Key>();
            slot->name = part;
            slot->parent = key;
        }
        key = slot.get();
    }
    return *key;
}

Registry::Key& Registry::Existing(const RegString& path, const char* arranging)
{
    Key* key = Find(*root_, path);
    if (key == nullptr) {
        std::string ascii;
        for (WCHAR c : path) {
            ascii.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
        }
        throw std::invalid_argument(std::string(arranging) + ": no key " + ascii);
    }
    return *key;
}

void Registry::CreateKey(const RegString& path)
{
    FindOrCreate(path);
}

void Registry::SetValue(const RegString& keyPath, const RegString& name, DWORD type, std::vector<BYTE> data)
{
    Key& key = FindOrCreate(keyPath);
    key.values.erase(name);
    key.values.emplace(name, RegValue{type, std::move(data)});
}

void Registry::SetAccess(const RegString& keyPath, Access access)
{
    Existing(keyPath, "SetAccess").access = access;
}

void Registry::CreateLink(const RegString& path, const RegString& targetPath)
{
    Key& link = FindOrCreate(path);
    link.linkTarget = targetPath;
    const RegString kernelName = u"\\REGISTRY\\MACHINE\\" + targetPath;
    std::vector<BYTE> data;
    for (WCHAR c : kernelName) {
        data.push_back(static_cast<BYTE>(c & 0xFF));
        data.push_back(static_cast<BYTE>(c >> 8));
    }
    link.values.clear();
    link.values.emplace(u"SymbolicLinkValue", RegValue{REG_LINK, std::move(data)});
}

bool Registry::KeyExists(const RegString& path) const
{
    return Find(*root_, path) != nullptr;
}

std::vector<RegString> Registry::SubkeyNames(const RegString& path) const
{
    std::vector<RegString> names;
    if (const Key* key = Find(*root_, path)) {
        for (const auto& [name, subkey] : key->subkeys) {
            names.push_back(name);
        }
    }
    return names;
}

std::map<RegString, RegValue> Registry::Values(const RegString& path) const
{
    std::map<RegString, RegValue> values;
    if (const Key* key = Find(*root_, path)) {
        values.insert(key->values.begin(), key->values.end());
    }
    return values;
}

Access Registry::AccessOf(const RegString& path) const
{
    const Key* key = Find(*root_, path);
    return key != nullptr ? key->access : Access::Full;
}

void Registry::FailNthCall(Operation operation, unsigned n, LSTATUS status)
{
    nthCallFailures_.push_back({operation, n, status});
}

void Registry::FailCallsOnKey(const RegString& path, LSTATUS status, std::optional<Operation> operation)
{
    keyFailures_.push_back({&Existing(path, "FailCallsOnKey"), status, operation});
}

const Registry::Handle* Registry::Resolve(HKEY key) const
{
    if (key == HKEY_LOCAL_MACHINE) {
        return &rootHandle_;
    }
    auto found = handles_.find(key);
    return found == handles_.end() ? nullptr : &found->second;
}

RegString Registry::PathOf(const Key& key) const
{
    RegString path;
    for (const Key* k = &key; k != nullptr && k->parent != nullptr; k = k->parent) {
        path = path.empty() ? k->name : k->name + u'\\' + path;
    }
    return path;
}

LSTATUS Registry::Begin(Call& call, const Key* target)
{
    const unsigned n = ++callCounts_[call.operation];
    for (const NthCallFailure& failure : nthCallFailures_) {
        if (failure.operation == call.operation && failure.n == n) {
            call.injected = true;
            return failure.status;
        }
    }
    for (const KeyFailure& failure : keyFailures_) {
        if (target == failure.key && (!failure.operation || *failure.operation == call.operation)) {
            call.injected = true;
            return failure.status;
        }
    }
    return ERROR_SUCCESS;
}

LSTATUS Registry::Admit(Call& call, REGSAM right, const Handle*& handle)
{
    handle = Resolve(call.handle);
    if (handle != nullptr) {
        call.keyPath = PathOf(*handle->key);
    }
    if (const LSTATUS injected = Begin(call, handle != nullptr ? handle->key : nullptr); injected != ERROR_SUCCESS) {
        return injected;
    }
    if (handle == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    return (handle->access & right) != 0 ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

LSTATUS Registry::Finish(Call& call, LSTATUS status)
{
    call.status = status;
    calls_.push_back(std::move(call));
    return status;
}

HKEY Registry::AddHandle(Key& key, REGSAM access)
{
    nextHandle_ += 8;
    HKEY handle = reinterpret_cast<HKEY>(0x10000 + nextHandle_);
    handles_.emplace(handle, Handle{&key, access});
    peakOpenHandles_ = std::max(peakOpenHandles_, OpenHandles());
    return handle;
}

LSTATUS Registry::Open(HKEY key, const WCHAR* subKey, DWORD options, REGSAM access, HKEY* result)
{
    Call call{.operation = Operation::Open, .handle = key, .name = FromNullable(subKey), .options = options,
              .access = access};
    const Handle* parent = Resolve(key);
    if (parent != nullptr) {
        call.keyPath = PathOf(*parent->key);
    }
    Key* target = parent != nullptr ? Find(*parent->key, call.name, (options & REG_OPTION_OPEN_LINK) == 0) : nullptr;
    if (target != nullptr) {
        call.reached = PathOf(*target);
    }
    if (result != nullptr) {
        *result = NeverOpened;
    }
    if (const LSTATUS injected = Begin(call, target); injected != ERROR_SUCCESS) {
        return Finish(call, injected);
    }
    if (parent == nullptr) {
        return Finish(call, ERROR_INVALID_HANDLE);
    }
    if (result == nullptr || (options & ~REG_OPTION_OPEN_LINK) != 0) {
        return Finish(call, ERROR_INVALID_PARAMETER);
    }
    if (target == nullptr) {
        return Finish(call, ERROR_FILE_NOT_FOUND);
    }
    if (target->access == Access::None || (target->access == Access::ReadOnly && (access & WriteRights) != 0)
        || (target->access == Access::ListOnly && (access & ~KEY_ENUMERATE_SUB_KEYS) != 0)) {
        return Finish(call, ERROR_ACCESS_DENIED);
    }
    *result = call.opened = AddHandle(*target, access);
    return Finish(call, ERROR_SUCCESS);
}

LSTATUS Registry::Enumerate(HKEY key, DWORD index, WCHAR* name, DWORD* nameLength, DWORD* reserved,
                            WCHAR* className, DWORD* classLength, FILETIME* lastWriteTime)
{
    Call call{.operation = Operation::Enumerate, .handle = key, .index = index,
              .sizeGiven = nameLength != nullptr ? *nameLength : 0,
              .unusedArgumentsNull = reserved == nullptr && className == nullptr && classLength == nullptr
                                     && lastWriteTime == nullptr};
    const Handle* handle = nullptr;
    if (const LSTATUS status = Admit(call, KEY_ENUMERATE_SUB_KEYS, handle); status != ERROR_SUCCESS) {
        return Finish(call, status);
    }
    if (name == nullptr || nameLength == nullptr || reserved != nullptr) {
        return Finish(call, ERROR_INVALID_PARAMETER);
    }
    if (index >= handle->key->subkeys.size()) {
        return Finish(call, ERROR_NO_MORE_ITEMS);
    }
    const RegString& subkey = std::next(handle->key->subkeys.begin(), index)->first;
    // The capacity counts the terminating NUL: a name exactly as long as the capacity does not fit.
    if (subkey.size() >= *nameLength) {
        return Finish(call, ERROR_MORE_DATA);
    }
    std::copy(subkey.begin(), subkey.end(), name);
    name[subkey.size()] = u'\0';
    *nameLength = call.sizeReturned = static_cast<DWORD>(subkey.size());
    call.name = subkey;
    return Finish(call, ERROR_SUCCESS);
}

LSTATUS Registry::Query(HKEY key, const WCHAR* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                        DWORD* dataSize)
{
    Call call{.operation = Operation::Query, .handle = key, .name = FromNullable(valueName),
              .sizeGiven = dataSize != nullptr ? *dataSize : 0, .unusedArgumentsNull = reserved == nullptr};
    const Handle* handle = nullptr;
    if (const LSTATUS status = Admit(call, KEY_QUERY_VALUE, handle); status != ERROR_SUCCESS) {
        return Finish(call, status);
    }
    if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) {
        return Finish(call, ERROR_INVALID_PARAMETER);
    }
    auto found = handle->key->values.find(call.name);
    if (found == handle->key->values.end()) {
        return Finish(call, ERROR_FILE_NOT_FOUND);
    }
    const RegValue& value = found->second;
    if (type != nullptr) {
        *type = call.type = value.type;
    }
    const auto size = static_cast<DWORD>(value.data.size());
    if (dataSize == nullptr) {
        return Finish(call, ERROR_SUCCESS);
    }
    const DWORD capacity = *dataSize;
    *dataSize = call.sizeReturned = size;
    if (data == nullptr) {
        return Finish(call, ERROR_SUCCESS);
    }
    if (size > capacity) {
        return Finish(call, ERROR_MORE_DATA);
    }
    // An empty value leaves the caller's buffer as it was.
    std::copy(value.data.begin(), value.data.end(), data);
    call.data = value.data;
    return Finish(call, ERROR_SUCCESS);
}

LSTATUS Registry::Set(HKEY key, const WCHAR* valueName, DWORD reserved, DWORD type, const BYTE* data,
                      DWORD dataSize)
{
    Call call{.operation = Operation::Set, .handle = key, .name = FromNullable(valueName), .options = reserved,
              .sizeGiven = dataSize, .type = type};
    if (data != nullptr) {
        call.data.assign(data, data + dataSize);
    }
    const Handle* handle = nullptr;
    if (const LSTATUS status = Admit(call, KEY_SET_VALUE, handle); status != ERROR_SUCCESS) {
        return Finish(call, status);
    }
    if (reserved != 0) {
        return Finish(call, ERROR_INVALID_PARAMETER);
    }
    if (data == nullptr && dataSize != 0) {
        return Finish(call, ERROR_NOACCESS);
    }
    // Replaces a value of any type; an existing value keeps the spelling of its name.
    auto& values = handle->key->values;
    if (auto found = values.find(call.name); found != values.end()) {
        found->second = RegValue{type, call.data};
    } else {
        values.emplace(call.name, RegValue{type, call.data});
    }
    return Finish(call, ERROR_SUCCESS);
}

LSTATUS Registry::Delete(HKEY key, const WCHAR* valueName)
{
    Call call{.operation = Operation::Delete, .handle = key, .name = FromNullable(valueName)};
    const Handle* handle = nullptr;
    const LSTATUS admitted = Admit(call, KEY_SET_VALUE, handle);
    if (admitted != ERROR_SUCCESS) {
        return Finish(call, admitted);
    }
    // Names compare without regard to case; a null name, like "", is the key's unnamed value.
    return Finish(call, handle->key->values.erase(call.name) == 1 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
}

LSTATUS Registry::Close(HKEY key)
{
    Call call{.operation = Operation::Close, .handle = key};
    auto found = handles_.find(key);
    if (found != handles_.end()) {
        call.keyPath = PathOf(*found->second.key);
    }
    const LSTATUS injected = Begin(call, found != handles_.end() ? found->second.key : nullptr);
    if (key == HKEY_LOCAL_MACHINE) {
        // The predefined key is not the caller's to close; the platform ignores it, and so do we,
        // but the tests treat it as a fault.
        ++badCloses_;
        return Finish(call, injected != ERROR_SUCCESS ? injected : ERROR_SUCCESS);
    }
    if (found == handles_.end()) {
        ++badCloses_;
        return Finish(call, injected != ERROR_SUCCESS ? injected : ERROR_INVALID_HANDLE);
    }
    // A close that reports failure still ends the handle: the caller has no second chance, so
    // counting it as open would blame the caller for the registry's fault.
    handles_.erase(found);
    return Finish(call, injected);
}

} // namespace in_memory

using in_memory::TheRegistry;

LSTATUS RegOpenKeyExW(HKEY key, const WCHAR* subKey, DWORD options, REGSAM access, HKEY* result)
{
    return TheRegistry().Open(key, subKey, options, access, result);
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, WCHAR* name, DWORD* nameLength, DWORD* reserved, WCHAR* className,
                      DWORD* classLength, FILETIME* lastWriteTime)
{
    return TheRegistry().Enumerate(key, index, name, nameLength, reserved, className, classLength, lastWriteTime);
}

LSTATUS RegQueryValueExW(HKEY key, const WCHAR* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* dataSize)
{
    return TheRegistry().Query(key, valueName, reserved, type, data, dataSize);
}

LSTATUS RegSetValueExW(HKEY key, const WCHAR* valueName, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD dataSize)
{
    return TheRegistry().Set(key, valueName, reserved, type, data, dataSize);
}

LSTATUS RegDeleteValueW(HKEY key, const WCHAR* valueName)
{
    return TheRegistry().Delete(key, valueName);
}

LSTATUS RegCloseKey(HKEY key)
{
    return TheRegistry().Close(key);
}
