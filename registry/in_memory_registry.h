// A registry in memory that stands in for the platform's off Windows: its operations behave as the
// platform's do where the pass and the companions depend on them, and tests shape keys, refuse
// access, inject failures and read back every call.
#pragma once

#include "name_order.h"
#include "names_and_values.h"
#include "registry_api.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace in_memory {

enum class Operation { Open, Enumerate, Query, Set, Delete, Close };

// What a key lets callers open it with. ReadOnly refuses any right that could change the key;
// ListOnly any right but KEY_ENUMERATE_SUB_KEYS.
enum class Access { Full, ReadOnly, ListOnly, None };

// One call of a registry operation, with the arguments the caller gave and what it got back.
struct Call {
    Operation operation = Operation::Open;
    HKEY handle = nullptr;        // the key operated on; for Open, the parent
    RegString keyPath;            // that key's path below HKEY_LOCAL_MACHINE ("" for the root itself)
    RegString name;               // Open: subkey; Enumerate: name returned; Query, Set, Delete: value name
    RegString reached;            // Open: the path of the key the subkey led to, through any link ("" if none)
    DWORD index = 0;              // Enumerate
    DWORD options = 0;            // Open: options; Set: reserved
    REGSAM access = 0;            // Open
    DWORD sizeGiven = 0;          // Enumerate: name capacity; Query: data size; Set: data size
    DWORD sizeReturned = 0;       // Enumerate: name length; Query: data size
    DWORD type = REG_NONE;        // Query: type reported; Set: type given
    std::vector<BYTE> data;       // Query: data returned; Set: data given
    bool unusedArgumentsNull = true; // Enumerate: reserved, class, class size, time; Query: reserved
    HKEY opened = nullptr;        // Open: the handle returned on success
    LSTATUS status = ERROR_SUCCESS;
    bool injected = false;        // the status came from an injected failure
};

class Registry {
public:
    Registry();
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // Back to an empty HKEY_LOCAL_MACHINE with no rules, failures, calls or open handles.
    void Reset();

    // Paths are below HKEY_LOCAL_MACHINE, separated by backslashes; missing parents are created. The
    // arranging and reading functions take a link at the end of a path as the link itself.
    void CreateKey(const RegString& path);
    void SetValue(const RegString& keyPath, const RegString& name, DWORD type, std::vector<BYTE> data);
    // The key must exist; otherwise std::invalid_argument, and nothing is created.
    void SetAccess(const RegString& keyPath, Access access);
    // A registry link at `path` to the key at `targetPath` (which need not exist): opened, it is the
    // target, unless opened with REG_OPTION_OPEN_LINK; it holds only "SymbolicLinkValue", REG_LINK,
    // the target's name in the kernel's form, \REGISTRY\MACHINE\targetPath.
    void CreateLink(const RegString& path, const RegString& targetPath);

    [[nodiscard]] bool KeyExists(const RegString& path) const;
    // Names as stored, in the order the registry enumerates them.
    [[nodiscard]] std::vector<RegString> SubkeyNames(const RegString& path) const;
    [[nodiscard]] std::map<RegString, RegValue> Values(const RegString& path) const;
    [[nodiscard]] Access AccessOf(const RegString& path) const;

    // The nth call (counting from 1) of the operation fails with the status.
    void FailNthCall(Operation operation, unsigned n, LSTATUS status);
    // Every call on the key (opening it, or using or closing a handle to it) fails with the status;
    // with an operation given, only calls of that operation. The key must exist, as for SetAccess.
    void FailCallsOnKey(const RegString& path, LSTATUS status, std::optional<Operation> operation = {});

    [[nodiscard]] const std::vector<Call>& Calls() const { return calls_; }
    [[nodiscard]] unsigned OpenHandles() const { return static_cast<unsigned>(handles_.size()); }
    [[nodiscard]] unsigned PeakOpenHandles() const { return peakOpenHandles_; }
    // Closes of a handle that was not open: closed twice, never opened, or the root.
    [[nodiscard]] unsigned BadCloses() const { return badCloses_; }

    // The operations, with the platform's arguments; the free functions of the same names call them.
    LSTATUS Open(HKEY key, const WCHAR* subKey, DWORD options, REGSAM access, HKEY* result);
    LSTATUS Enumerate(HKEY key, DWORD index, WCHAR* name, DWORD* nameLength, DWORD* reserved,
                      WCHAR* className, DWORD* classLength, FILETIME* lastWriteTime);
    LSTATUS Query(HKEY key, const WCHAR* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                  DWORD* dataSize);
    LSTATUS Set(HKEY key, const WCHAR* valueName, DWORD reserved, DWORD type, const BYTE* data,
                DWORD dataSize);
    LSTATUS Delete(HKEY key, const WCHAR* valueName);
    LSTATUS Close(HKEY key);

private:
    struct Key;
    struct Handle {
        Key* key;
        REGSAM access;
    };
    struct NthCallFailure {
        Operation operation;
        unsigned n;
        LSTATUS status;
    };
    struct KeyFailure {
        const Key* key;
        LSTATUS status;
        std::optional<Operation> operation;
    };

    // The key at `path` below `from`, links followed on the way and, with followLast, at the end too;
    // nullptr when there is none, or the links go round (more than MaxLinkDepth of them).
    Key* Find(const Key& from, const RegString& path, bool followLast = false, unsigned depth = 0) const;
    Key& FindOrCreate(const RegString& path);
    // A key a test arranges something on must exist already: creating it would make the test pass or
    // fail for a reason it does not name.
    Key& Existing(const RegString& path, const char* arranging);
    const Handle* Resolve(HKEY key) const;
    RegString PathOf(const Key& key) const;
    // Counts the call; returns the injected status if this call is to fail, else ERROR_SUCCESS.
    LSTATUS Begin(Call& call, const Key* target);
    // What every operation on an open handle checks first: an injected failure, that the handle is
    // open, and that it was granted the right the operation needs.
    LSTATUS Admit(Call& call, REGSAM right, const Handle*& handle);
    // Records the call with its status, and returns the status.
    LSTATUS Finish(Call& call, LSTATUS status);
    HKEY AddHandle(Key& key, REGSAM access);

    std::unique_ptr<Key> root_;
    Handle rootHandle_{};
    std::map<HKEY, Handle> handles_;
    std::uintptr_t nextHandle_ = 0;
    unsigned peakOpenHandles_ = 0;
    unsigned badCloses_ = 0;
    std::vector<NthCallFailure> nthCallFailures_;
    std::vector<KeyFailure> keyFailures_;
    std::map<Operation, unsigned> callCounts_;
    std::vector<Call> calls_;
};

// The registry behind the operations.
Registry& TheRegistry();

} // namespace in_memory
