// The audit of one pass, or one run of a companion: handles, the course of the enumeration, what was
// written or removed, what was reported, and the result.
#include "pass_audit.h"

#include "in_memory_registry.h"
#include "scenario_table.h"

#include <algorithm>
#include <map>

namespace {

using in_memory::Call;
using in_memory::Operation;
using in_memory::TheRegistry;

// The instance a key path names when it is a direct subkey of the class key, else "".
RegString InstanceOf(const RegString& keyPath)
{
    const RegString prefix = ScenarioClassKeyPath + WIDE("\\");
    if (!keyPath.starts_with(prefix)) {
        return RegString();
    }
    const RegString relative = keyPath.substr(prefix.size());
    return relative.find(WIDE('\\')) == RegString::npos ? relative : RegString();
}

// A key path relative to the class key ("" for the class key itself), or nothing when it lies outside.
std::optional<RegString> BelowClassKey(const RegString& keyPath)
{
    if (keyPath == ScenarioClassKeyPath) {
        return RegString();
    }
    const RegString prefix = ScenarioClassKeyPath + WIDE("\\");
    if (!keyPath.starts_with(prefix)) {
        return std::nullopt;
    }
    return keyPath.substr(prefix.size());
}

std::size_t DirectInstances(const RegistryTree& tree)
{
    return static_cast<std::size_t>(std::count_if(tree.begin(), tree.end(), [](const auto& entry) {
        return !entry.first.empty() && entry.first.find(WIDE('\\')) == RegString::npos;
    }));
}

class Auditor {
public:
    Auditor(const std::optional<RegistryTree>& before, PassAudit& audit)
        : before_(before), audit_(audit), calls_(TheRegistry().Calls())
    {
        // Which instance each handle was opened by: through a registry link, the key a handle reaches
        // is not the instance it was opened by.
        for (const Call& call : calls_) {
            if (call.operation == Operation::Open && call.handle != HKEY_LOCAL_MACHINE && call.status == ERROR_SUCCESS) {
                instanceOf_[call.opened] = call.name;
            }
        }
    }

    // The instance whose handle a call used, or "" for the class key's.
    RegString InstanceBehind(const Call& call) const
    {
        const auto found = instanceOf_.find(call.handle);
        return found != instanceOf_.end() ? found->second : RegString();
    }

    void Expect(bool holds, const std::string& what)
    {
        if (!holds) {
            audit_.violations.push_back(what);
        }
    }

    void Handles()
    {
        const in_memory::Registry& registry = TheRegistry();
        Expect(registry.OpenHandles() == 0, "a handle was left open");
        Expect(registry.BadCloses() == 0, "a handle was closed twice, or one never opened was closed");
        Expect(registry.PeakOpenHandles() <= 2, "more than two handles were open at once");
        std::map<HKEY, int> closes;
        for (const Call& call : calls_) {
            closes[call.handle] += call.operation == Operation::Close ? 1 : 0;
        }
        for (const Call& call : calls_) {
            if (call.operation == Operation::Open && call.status == ERROR_SUCCESS) {
                Expect(closes[call.opened] == 1,
                        "the handle of " + Narrow(call.keyPath) + "\\" + Narrow(call.name) + " was not closed exactly once");
            }
        }
    }

    // The class key is opened first; then subkeys are asked for at indices 0, 1, 2, ... and each one
    // returned is opened next, by that name; the first enumeration that fails other than with
    // ERROR_MORE_DATA ends the loop, and only the close of the class key follows it. Notes whether the
    // pass could not look at every instance: a class key there but not opened, or a list not ended by
    // ERROR_NO_MORE_ITEMS.
    void Course()
    {
        if (calls_.empty() || calls_[0].operation != Operation::Open || calls_[0].handle != HKEY_LOCAL_MACHINE) {
            Expect(false, "the pass did not begin by opening the class key");
            return;
        }
        if (calls_[0].status != ERROR_SUCCESS) {
            Expect(calls_.size() == 1, "the pass went on after its class key failed to open");
            // Not there holds nothing; there but refused may hide controllers.
            incomplete_ = calls_[0].status != ERROR_FILE_NOT_FOUND;
            return;
        }
        const HKEY classKey = calls_[0].opened;
        DWORD nextIndex = 0;
        RegString enumerated;
        for (std::size_t i = 1; i < calls_.size(); ++i) {
            const Call& call = calls_[i];
            if (call.operation == Operation::Open) {
                Expect(call.handle == classKey && !enumerated.empty() && call.name == enumerated,
                        "opened \"" + Narrow(call.name) + "\", which is not the subkey just enumerated");
            }
            if (call.operation != Operation::Enumerate) {
                continue;
            }
            Expect(call.handle == classKey, "enumerated a key other than the class key");
            Expect(call.index == nextIndex, "asked for subkey " + std::to_string(call.index) + " where "
                                                 + std::to_string(nextIndex) + " was due");
            nextIndex = call.index + 1;
            enumerated = call.status == ERROR_SUCCESS ? call.name : RegString();
            if (call.status == ERROR_SUCCESS && call.name.find(WCHAR{0}) != RegString::npos) {
                // Opened by name, it would be opened cut short at the NUL: another key.
                Expect(i + 1 < calls_.size() && calls_[i + 1].operation != Operation::Open,
                       "subkey \"" + Narrow(call.name) + "\", whose name holds a NUL, was opened");
                continue;
            }
            if (call.status == ERROR_SUCCESS) {
                Expect(i + 1 < calls_.size() && calls_[i + 1].operation == Operation::Open,
                        "subkey \"" + Narrow(call.name) + "\" was enumerated but not opened next");
                continue;
            }
            if (call.status == ERROR_MORE_DATA) {
                continue;
            }
            Expect(i + 2 == calls_.size() && calls_[i + 1].operation == Operation::Close
                        && calls_[i + 1].handle == classKey,
                    "the enumeration of subkey " + std::to_string(call.index) + " failed with "
                        + std::to_string(call.status) + ", but the pass did more than close the class key after it");
            incomplete_ = call.status != ERROR_NO_MORE_ITEMS;
            // Without an injected failure the loop runs to the end: no instance is hidden.
            if (!call.injected && before_) {
                Expect(call.status == ERROR_NO_MORE_ITEMS && call.index >= DirectInstances(*before_),
                        "the enumeration ended at subkey " + std::to_string(call.index) + " of "
                            + std::to_string(DirectInstances(*before_)));
            }
            return;
        }
        Expect(false, "the pass ended without an enumeration failure ending its loop");
    }

    void Writes(int result)
    {
        std::set<RegString, FoldedLess> readControllers, readApplied;
        for (const Call& call : calls_) {
            Expect(call.operation != Operation::Delete, "the pass deleted a value");
            const RegString instance = InstanceBehind(call);
            if (call.operation == Operation::Query && call.status == ERROR_SUCCESS && call.name == WIDE("Controller")
                && ControllerQualifies(call.data)) {
                readControllers.insert(instance);
            }
            // The setting is read only where it could not be written, to see whether it is there anyway.
            if (call.operation == Operation::Query && call.name == SettingName) {
                Expect(readControllers.contains(instance) && !audit_.written.contains(instance),
                       "read the setting of " + Narrow(instance) + ", which is no controller or was written");
                if (call.status == ERROR_SUCCESS && call.type == REG_DWORD && call.data == DwordBytes(1)) {
                    readApplied.insert(instance);
                }
            }
            if (call.operation != Operation::Set) {
                continue;
            }
            Expect(!instance.empty(), "wrote outside the instances: " + Narrow(call.keyPath));
            Expect(call.name == SettingName, "wrote a value other than ForceHCResetOnResume: " + Narrow(call.name));
            Expect(call.type == REG_DWORD && call.data == DwordBytes(1), "wrote something other than REG_DWORD 1");
            Expect(readControllers.contains(instance),
                    "wrote into an instance not read as a controller: " + Narrow(instance));
            if (call.status == ERROR_SUCCESS) {
                audit_.written.insert(instance);
                // Where a link led the write, the key written is the one it leads to.
                if (const std::optional<RegString> key = BelowClassKey(call.keyPath)) {
                    writtenKeys_.push_back(*key);
                }
            }
        }
        const bool controllerLeftWithout = std::any_of(readControllers.begin(), readControllers.end(),
            [&](const RegString& instance) { return !audit_.written.contains(instance) && !readApplied.contains(instance); });
        Expect(result == (controllerLeftWithout || incomplete_ ? 1 : 0),
                "the result is " + std::to_string(result)
                    + "; it must be 1 exactly when a controller the pass read was left without the setting, or the"
                      " class key was there but could not be opened or listed to the end");
    }

    // The registry is the one before, plus the settings written, less the settings removed.
    void Registry(const std::optional<RegistryTree>& after, const std::set<RegString, FoldedLess>& removed = {})
    {
        Expect(before_.has_value() == after.has_value(), "the class key appeared or vanished");
        if (before_ && after) {
            RegistryTree expected = WithSetting(*before_, writtenKeys_);
            for (const RegString& instance : removed) {
                expected.at(instance).erase(SettingName);
            }
            Expect(*after == expected, "the registry changed beyond the settings written or removed:\nafter:\n"
                                            + Describe(*after) + "expected:\n" + Describe(expected));
        }
    }

    // The check reads only; it reads the setting of exactly the controllers it finds and lists them
    // with the setting as read, and with their device's description where that read gave a REG_SZ of
    // whole characters (less one terminating NUL); its result is 1 exactly when one lacks the setting
    // as the program writes it, or the class key could not be looked through, whatever became of the
    // descriptions.
    void Check(int result, const CompanionRecord& record)
    {
        std::map<RegString, const Call*, FoldedLess> controllers; // each with the reading of its setting
        std::map<RegString, const Call*, FoldedLess> descriptions;
        for (const Call& call : calls_) {
            Expect(call.operation != Operation::Set && call.operation != Operation::Delete, "the check changed a value");
            if (call.operation != Operation::Query) {
                continue;
            }
            const RegString instance = InstanceBehind(call);
            if (call.name == WIDE("Controller") && call.status == ERROR_SUCCESS && ControllerQualifies(call.data)) {
                controllers.emplace(instance, nullptr);
            } else if (call.name == SettingName) {
                Expect(controllers.contains(instance), "read the setting of " + Narrow(instance) + ", no controller");
                controllers[instance] = &call;
            } else if (call.name == WIDE("DriverDesc")) {
                Expect(controllers.contains(instance), "read the description of " + Narrow(instance) + ", no controller");
                descriptions[instance] = &call;
            }
        }
        bool lacking = false;
        std::set<RegString, FoldedLess> listed;
        for (const CompanionRecord::Setting& setting : record.controllers) {
            listed.insert(setting.instance);
            const auto read = controllers.find(setting.instance);
            if (read == controllers.end() || read->second == nullptr) {
                Expect(false, "listed " + Narrow(setting.instance) + " as a controller without reading its setting");
                continue;
            }
            const Call& query = *read->second;
            std::optional<RegString> device;
            const auto described = descriptions.find(setting.instance);
            if (described != descriptions.end() && described->second->status == ERROR_SUCCESS
                && described->second->type == REG_SZ && described->second->data.size() % 2 == 0) {
                const std::vector<BYTE>& bytes = described->second->data;
                device.emplace();
                for (std::size_t i = 0; i < bytes.size(); i += 2) {
                    device->push_back(static_cast<WCHAR>(bytes[i] | bytes[i + 1] << 8));
                }
                if (!device->empty() && device->back() == 0) {
                    device->pop_back();
                }
            }
            Expect(setting.device == device, "the description of " + Narrow(setting.instance) + " is listed other than it was read");
            Expect(setting.status == query.status && (query.status != ERROR_SUCCESS
                                                    || (setting.type == query.type && setting.data == query.data)),
                    "the setting of " + Narrow(setting.instance) + " is listed other than it was read");
            lacking = lacking || query.status != ERROR_SUCCESS || query.type != REG_DWORD || query.data != DwordBytes(1);
        }
        for (const auto& [instance, query] : controllers) {
            Expect(listed.contains(instance), "the controller " + Narrow(instance) + " is not listed");
        }
        NotOpened(record);
        Expect(result == (lacking || incomplete_ ? 1 : 0),
                "the check's result is " + std::to_string(result) + "; it must be 1 exactly when a controller"
                " lacks REG_DWORD 1, or the class key could not be looked through");
    }

    // The undo deletes only ForceHCResetOnResume, only from instances, and lists what it removed; it
    // names every instance it opened that still holds the setting; its result is 1 exactly when it
    // named one, or the class key could not be looked through.
    std::set<RegString, FoldedLess> Undo(int result, const std::optional<RegistryTree>& after,
                                         const CompanionRecord& record)
    {
        // An instance the platform said holds no setting (deleting or reading it answered "not
        // found") is taken at its word, as the pass takes a missing "Controller".
        std::set<RegString, FoldedLess> removed, opened, saidAbsent;
        for (const Call& call : calls_) {
            Expect(call.operation != Operation::Set, "the undo set a value");
            if (call.operation == Operation::Open && call.handle != HKEY_LOCAL_MACHINE && call.status == ERROR_SUCCESS) {
                opened.insert(call.name);
            }
            if ((call.operation == Operation::Delete || call.operation == Operation::Query)
                && call.name == SettingName && call.status == ERROR_FILE_NOT_FOUND) {
                saidAbsent.insert(InstanceOf(call.keyPath));
            }
            if (call.operation != Operation::Delete) {
                continue;
            }
            const RegString instance = InstanceBehind(call);
            Expect(!instance.empty() && call.keyPath == ScenarioClassKeyPath + WIDE("\\") + instance,
                   "deleted a value from a key other than an instance, through a link or outside the class: "
                       + Narrow(call.keyPath));
            Expect(call.name == SettingName, "deleted a value other than ForceHCResetOnResume: " + Narrow(call.name));
            if (call.status == ERROR_SUCCESS) {
                removed.insert(instance);
            }
        }
        Expect(NamesOf(record.removed) == removed, "the instances listed as undone are not those undone");
        const std::set<RegString, FoldedLess> left = NamesOf(record.notRemoved);
        const std::set<RegString, FoldedLess> notOpened = NamesOf(record.notOpened);
        for (const RegString& instance : opened) {
            Expect(!after || !after->contains(instance) || after->at(instance).count(SettingName) == 0
                        || left.contains(instance) || notOpened.contains(instance) || saidAbsent.contains(instance),
                    "the instance " + Narrow(instance) + " still holds the setting and is not named");
        }
        for (const RegString& instance : left) {
            Expect(opened.contains(instance), "named " + Narrow(instance) + " as left, but never opened it");
        }
        for (const RegString& instance : record.behindLinks) {
            Expect(opened.contains(instance), "named " + Narrow(instance) + " as a link to the setting, but never opened it");
        }
        NotOpened(record);
        Expect(result == (!left.empty() || !record.behindLinks.empty() || incomplete_ ? 1 : 0),
                "the undo's result is " + std::to_string(result) + "; it must be 1 exactly when it named an"
                " instance still holding the setting, or the class key could not be looked through");
        return removed;
    }

    // Both companions name each instance they could not open for their work, and only those; and
    // each subkey whose name did not fit or holds a NUL.
    void NotOpened(const CompanionRecord& record)
    {
        std::map<RegString, bool, FoldedLess> opens; // instance -> its last open succeeded
        std::size_t namesTooLong = 0;
        std::set<RegString, FoldedLess> namesHoldingNul;
        for (const Call& call : calls_) {
            if (call.operation == Operation::Enumerate && call.status == ERROR_SUCCESS
                && call.name.find(WCHAR{0}) != RegString::npos) {
                namesHoldingNul.insert(call.name);
            }
            // The last open of an instance is the one its work stood on: earlier ones only asked
            // what kind of key it is, or were refused more rights than the last asked for.
            if (call.operation == Operation::Open && call.handle != HKEY_LOCAL_MACHINE) {
                opens[call.name] = call.status == ERROR_SUCCESS;
            }
            namesTooLong += call.operation == Operation::Enumerate && call.status == ERROR_MORE_DATA ? 1 : 0;
        }
        std::set<RegString, FoldedLess> unopened;
        for (const auto& [instance, openedOnce] : opens) {
            if (!openedOnce) {
                unopened.insert(instance);
            }
        }
        Expect(NamesOf(record.notOpened) == unopened, "the instances named as not opened are not those it could not open");
        Expect(record.namesTooLong.size() == namesTooLong, "a subkey whose name did not fit is not reported");
        Expect(NamesOf(record.namesHoldingNul) == namesHoldingNul, "the subkeys whose names hold a NUL are not those reported");
    }

private:
    const std::optional<RegistryTree>& before_;
    PassAudit& audit_;
    const std::vector<Call>& calls_;
    std::map<HKEY, RegString> instanceOf_;
    std::vector<RegString> writtenKeys_; // below the class key
    bool incomplete_ = false;
};

} // namespace

PassAudit AuditPass(const std::optional<RegistryTree>& before, const std::optional<RegistryTree>& after, int result)
{
    PassAudit audit;
    Auditor auditor(before, audit);
    auditor.Handles();
    auditor.Course();
    auditor.Writes(result);
    auditor.Registry(after);
    return audit;
}

PassAudit AuditCheck(const std::optional<RegistryTree>& before, const std::optional<RegistryTree>& after, int result,
                     const CompanionRecord& record)
{
    PassAudit audit;
    Auditor auditor(before, audit);
    auditor.Handles();
    auditor.Course();
    auditor.Check(result, record);
    auditor.Registry(after);
    return audit;
}

PassAudit AuditUndo(const std::optional<RegistryTree>& before, const std::optional<RegistryTree>& after, int result,
                    const CompanionRecord& record)
{
    PassAudit audit;
    Auditor auditor(before, audit);
    auditor.Handles();
    auditor.Course();
    auditor.Registry(after, auditor.Undo(result, after, record));
    return audit;
}
