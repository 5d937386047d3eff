// The check and undo companions of the program: what they do to one class key and to the three
// control sets, and what they tell their reader. Shared by both programs and by their tests, which
// run them on the in-memory registry.
#pragma once

#include "controller_rule.h"
#include "registry_api.h"

#include <cstddef>

// A controller's device as its driver package names it: the instance's "DriverDesc", which Device
// Manager and inventories show, `length` characters without a terminating NUL; `text` is null where
// the instance holds no description the listing can show whole.
struct DeviceDescription {
    const WCHAR* text = nullptr;
    DWORD length = 0;
};

// What a companion tells its reader, in the order it finds it. Names are as the registry gave them.
class Report {
public:
    virtual ~Report() = default;
    // Before each control set: its class key's path below HKEY_LOCAL_MACHINE.
    virtual void ControlSet(const WCHAR* classKeyPath) = 0;
    // Opening the set's class key: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND (no class key) or the error.
    virtual void ClassKeyOpened(LSTATUS status) = 0;
    // The check: an instance the program writes, its setting as it is now, and its device.
    virtual void Controller(const WCHAR* name, const SettingState& setting, const DeviceDescription& device) = 0;
    // The undo: the setting was removed from this instance.
    virtual void Removed(const WCHAR* name) = 0;
    // The undo: this instance still holds the setting (or may: it could not be read), for this reason.
    virtual void NotRemoved(const WCHAR* name, LSTATUS status) = 0;
    // This instance is a registry link to the key the kernel names `target` (`length` characters; no
    // target when its name is too long to read). The check follows it as the program does.
    virtual void Link(const WCHAR* name, const WCHAR* target, DWORD length) = 0;
    // The undo: the key this link leads to holds the setting, which the undo does not remove through
    // a link.
    virtual void NotRemovedBehindLink(const WCHAR* name) = 0;
    // An instance that could not be opened, as the program skips it.
    virtual void NotOpened(const WCHAR* name, LSTATUS status) = 0;
    // The subkey at this index has a name longer than NameCapacity holds, as the program skips it.
    virtual void NameTooLong(DWORD index) = 0;
    // A subkey whose name, `length` characters as the registry gave it, holds a NUL, as the program
    // skips it.
    virtual void NameHoldsNul(const WCHAR* name, DWORD length) = 0;
    // The status that ended the list of instances: ERROR_NO_MORE_ITEMS when every one was visited.
    virtual void ListEnded(LSTATUS status) = 0;
};

// Whether the instance is a registry link: opened as itself, it holds "SymbolicLinkValue" of type
// REG_LINK, the kernel's name of the key it leads to, read into `target` (`length` characters, or
// length 0 when the name does not fit), and opened the ordinary way it is another key, or none. The
// program follows links without asking; the companions ask so that they can say so, and so that the
// undo never deletes through one.
struct LinkTarget {
    WCHAR text[ControllerDataCapacity / sizeof(WCHAR)];
    DWORD length;
};
[[nodiscard]] bool IsRegistryLink(HKEY classKey, const WCHAR* name, LinkTarget& target);

// A companion's walk over the instances, the program's own (see VisitInstances), telling the report
// what the walk found besides the instances.
class ReportingLoop {
public:
    explicit ReportingLoop(Report& report) : report_(report) {}
    void ClassKeyOpened(LSTATUS status) { report_.ClassKeyOpened(status); }
    void NameTooLong(DWORD index) { report_.NameTooLong(index); }
    void NameHoldsNul(const WCHAR* name, DWORD length) { report_.NameHoldsNul(name, length); }
    void ListEnded(LSTATUS status) { report_.ListEnded(status); }

protected:
    Report& report_;
};

// Lists the controllers of one class key with their setting, and the instances it could not open.
// Changes nothing. Returns 1 when a controller lacks the setting exactly as the program writes it
// (REG_DWORD 1), or the class key could not be looked through; else 0.
[[nodiscard]] int CheckClassKey(const WCHAR* classKeyPath, Report& report);
// Removes ForceHCResetOnResume, and nothing else, from every instance of one class key. Returns 1
// when an instance it can open still holds it, or the class key could not be looked through; else 0.
[[nodiscard]] int UndoClassKey(const WCHAR* classKeyPath, Report& report);

// Over the three control sets: the check's status is CurrentControlSet's, as the program's is; the
// undo's is 1 when any set's is.
[[nodiscard]] int CheckControlSets(Report& report);
[[nodiscard]] int UndoControlSets(Report& report);

// Text that grows as it is written; the companions' one use of the heap. Out of memory ends the
// program (abort), which a caller sees as a failed run.
class Text {
public:
    Text() = default;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text();

    void Append(const WCHAR* text, std::size_t length);
    void Append(const WCHAR* text);
    void AppendDecimal(DWORD value);
    void AppendHex(DWORD value);
    void Clear() { size_ = 0; }
    [[nodiscard]] const WCHAR* Data() const { return data_; }
    [[nodiscard]] std::size_t Size() const { return size_; }

private:
    WCHAR* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Where a listing's lines go: whole lines, each ending in CR LF.
class Output {
public:
    virtual ~Output() = default;
    // Returns false when the text could not all be written.
    [[nodiscard]] virtual bool Write(const WCHAR* text, std::size_t length) = 0;
};

// A Report as lines for an administrator, one instance per line with its name last and exactly as
// the registry gives it. Per control set: its name, the instances as found, then those not read; last,
// the verdict.
class Listing final : public Report {
public:
    explicit Listing(Output& output) : output_(output) {}

    void ControlSet(const WCHAR* classKeyPath) override;
    void ClassKeyOpened(LSTATUS status) override;
    void Controller(const WCHAR* name, const SettingState& setting, const DeviceDescription& device) override;
    void Removed(const WCHAR* name) override;
    void NotRemoved(const WCHAR* name, LSTATUS status) override;
    void Link(const WCHAR* name, const WCHAR* target, DWORD length) override;
    void NotRemovedBehindLink(const WCHAR* name) override;
    void NotOpened(const WCHAR* name, LSTATUS status) override;
    void NameTooLong(DWORD index) override;
    void NameHoldsNul(const WCHAR* name, DWORD length) override;
    void ListEnded(LSTATUS status) override;

    // The last line: the verdict, which agrees with `status`, the run's status so far (CheckControlSets'
    // or UndoControlSets'), unless the listing could not be written whole, which it then says instead.
    void CheckVerdict(int status);
    void UndoVerdict(int status);

    // Whether every line so far reached the output whole.
    [[nodiscard]] bool Whole() const { return whole_; }

private:
    // What the verdicts count: the check speaks of CurrentControlSet, as its status does; the undo of
    // every control set, as its status does.
    struct Tally {
        bool inCurrentSet = false;
        LSTATUS currentClassKey = ERROR_FILE_NOT_FOUND; // as opened; not there until seen
        LSTATUS currentListEnd = ERROR_NO_MORE_ITEMS;
        DWORD currentControllers = 0;
        DWORD currentLacking = 0;
        DWORD removed = 0;
        DWORD left = 0;
        DWORD leftBehindLinks = 0;
        DWORD classKeysNotOpened = 0;
        DWORD listsCutShort = 0;
    };

    // The verdict in place of either when lines were lost: what it would say cannot be trusted whole.
    [[nodiscard]] bool SaidIncomplete(const WCHAR* nextStep);

    void Send(const Text& text);
    // Ends the line being built and sends it.
    void SendLine();
    // Ends the line being built and keeps it for the end of the control set's list.
    void KeepLineForListEnd();

    Output& output_;
    Text line_;
    Text deferred_;
    bool whole_ = true;
    Tally tally_;
};

// The companions' exit status when their listing could not be written whole (a full disk, a closed
// pipe): the work was done, but the record of it is lost, which the reader must learn.
constexpr int ListingLostStatus = 2;

// A companion's whole run, its listing sent to `output` and ended by its verdict: the status of
// CheckControlSets or UndoControlSets, or ListingLostStatus.
[[nodiscard]] int RunCheck(Output& output);
[[nodiscard]] int RunUndo(Output& output);

// UTF-8 for the UTF-16 text: every name the registry holds keeps its characters, except an unpaired
// surrogate, which UTF-8 cannot carry and becomes U+FFFD. `out` holds at least 3 bytes per WCHAR;
// returns the bytes written.
std::size_t EncodeUtf8(const WCHAR* text, std::size_t length, char* out);

#ifdef _WIN32
// Standard output: WriteConsoleW on a console, which shows every character the font has; UTF-8
// otherwise (a file or a pipe), where the console code page would lose characters.
class StandardOutput final : public Output {
public:
    StandardOutput();
    bool Write(const WCHAR* text, std::size_t length) override;

private:
    HANDLE handle_;
    bool console_;
};
#endif
