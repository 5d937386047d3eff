// The companions' listing: what they report, as lines an administrator reads and a script can split
// (everything after the first ": " of an instance line is the instance's name), and the verdict that
// ends it.
#include "companions.h"
#include "control_sets.h"
#include "instance_loop.h"

#include <cstdint>
#include <cstdlib>

Text::~Text()
{
    std::free(data_);
}

void Text::Append(const WCHAR* text, std::size_t length)
{
    if (size_ + length > capacity_) {
        const std::size_t capacity = (size_ + length) * 2 + 64;
        auto* grown = static_cast<WCHAR*>(std::realloc(data_, capacity * sizeof(WCHAR)));
        if (grown == nullptr) {
            std::abort();
        }
        data_ = grown;
        capacity_ = capacity;
    }
    for (std::size_t i = 0; i < length; ++i) {
        data_[size_ + i] = text[i];
    }
    size_ += length;
}

void Text::Append(const WCHAR* text)
{
    std::size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    Append(text, length);
}

namespace {

void AppendDigits(Text& text, DWORD value, DWORD base)
{
    // 32 bits are at most 10 decimal or 8 hexadecimal digits.
    WCHAR digits[10];
    std::size_t count = 0;
    do {
        const DWORD digit = value % base;
        digits[count++] = static_cast<WCHAR>(digit < 10 ? WIDE('0') + digit : WIDE('A') + digit - 10);
        value /= base;
    } while (value != 0);
    while (count > 0) {
        text.Append(&digits[--count], 1);
    }
}

} // namespace

void Text::AppendDecimal(DWORD value)
{
    AppendDigits(*this, value, 10);
}

void Text::AppendHex(DWORD value)
{
    AppendDigits(*this, value, 16);
}

std::size_t EncodeUtf8(const WCHAR* text, std::size_t length, char* out)
{
    std::size_t size = 0;
    auto put = [&](unsigned value) { out[size++] = static_cast<char>(value); };
    for (std::size_t i = 0; i < length; ++i) {
        unsigned code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<unsigned>(text[++i]) - 0xDC00);
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            put(code);
        } else if (code < 0x800) {
            put(0xC0 | (code >> 6));
            put(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            put(0xE0 | (code >> 12));
            put(0x80 | ((code >> 6) & 0x3F));
            put(0x80 | (code & 0x3F));
        } else {
            put(0xF0 | (code >> 18));
            put(0x80 | ((code >> 12) & 0x3F));
            put(0x80 | ((code >> 6) & 0x3F));
            put(0x80 | (code & 0x3F));
        }
    }
    return size;
}

namespace {

const WCHAR* TypeName(DWORD type)
{
    switch (type) {
    case REG_NONE: return WIDE("REG_NONE");
    case REG_SZ: return WIDE("REG_SZ");
    case REG_EXPAND_SZ: return WIDE("REG_EXPAND_SZ");
    case REG_BINARY: return WIDE("REG_BINARY");
    case REG_DWORD: return WIDE("REG_DWORD");
    case REG_DWORD_BIG_ENDIAN: return WIDE("REG_DWORD_BIG_ENDIAN");
    case REG_LINK: return WIDE("REG_LINK");
    case REG_MULTI_SZ: return WIDE("REG_MULTI_SZ");
    case REG_RESOURCE_LIST: return WIDE("REG_RESOURCE_LIST");
    case REG_FULL_RESOURCE_DESCRIPTOR: return WIDE("REG_FULL_RESOURCE_DESCRIPTOR");
    case REG_RESOURCE_REQUIREMENTS_LIST: return WIDE("REG_RESOURCE_REQUIREMENTS_LIST");
    case REG_QWORD: return WIDE("REG_QWORD");
    default: return nullptr;
    }
}

void AppendError(Text& line, LSTATUS status)
{
    line.Append(WIDE("error "));
    line.AppendDecimal(static_cast<DWORD>(status));
}

bool SameText(const WCHAR* a, const WCHAR* b)
{
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// Characters that show as nothing, as a space, or as a change to the text around them, so that a
// name holding one could look like another name: controls (CR and LF among them), the format
// characters (general category Cf: the marks that reorder text, zero-width characters, the byte order
// mark, tags), every space but U+0020, the line and paragraph separators, the combining grapheme
// joiner, variation selectors, Hangul fillers, the braille blank, the default-ignorable reserved code
// points, the interlinear annotation marks, and the noncharacters, which are no characters at all.
// `code` is a whole code point.
bool HidesOrMimics(std::uint32_t code)
{
    struct Range {
        std::uint32_t first, last;
    };
    static constexpr Range Ranges[] = {
        {0x0000, 0x001F}, {0x007F, 0x00A0}, {0x00AD, 0x00AD}, {0x034F, 0x034F}, {0x0600, 0x0605},
        {0x061C, 0x061C}, {0x06DD, 0x06DD}, {0x070F, 0x070F}, {0x0890, 0x0891}, {0x08E2, 0x08E2},
        {0x115F, 0x1160}, {0x1680, 0x1680}, {0x17B4, 0x17B5}, {0x180B, 0x180F}, {0x2000, 0x200F},
        {0x2028, 0x202F}, {0x205F, 0x206F}, {0x2800, 0x2800}, {0x3000, 0x3000}, {0x3164, 0x3164},
        {0xFDD0, 0xFDEF}, {0xFE00, 0xFE0F}, {0xFEFF, 0xFEFF}, {0xFFA0, 0xFFA0}, {0xFFF0, 0xFFFB},
        {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
        {0xE0000, 0xE0FFF},
    };
    // The last two code points of every plane are noncharacters.
    if ((code & 0xFFFE) == 0xFFFE) {
        return true;
    }
    for (const Range& range : Ranges) {
        if (code >= range.first && code <= range.last) {
            return true;
        }
    }
    return false;
}

// Characters that look like the colon or the quotation mark that delimit the text before a name on
// its line (Unicode's confusables for ":" and '"'), so that a description or target holding one
// could seem to end where it does not.
bool LooksLikeADelimiter(WCHAR c)
{
    static constexpr WCHAR LookAlikes[] = {
        0x02BA, 0x02D0, 0x02DD, 0x02EE, 0x02F6, 0x02F8, 0x0589, 0x05C3, 0x05F4, 0x0703, 0x0704, 0x0903,
        0x0A83, 0x16EC, 0x1803, 0x1809, 0x1CD3, 0x201C, 0x201D, 0x201F, 0x2033, 0x2036, 0x205A, 0x2236,
        0x3003, 0xA4FD, 0xA789, 0xFE30, 0xFF02, 0xFF1A,
    };
    for (const WCHAR lookAlike : LookAlikes) {
        if (c == lookAlike) {
            return true;
        }
    }
    return false;
}

void AppendEscape(Text& line, WCHAR c)
{
    line.Append(WIDE("\\u"));
    for (int shift = 12; shift >= 0; shift -= 4) {
        const unsigned digit = (static_cast<unsigned>(c) >> shift) & 0xFu;
        const WCHAR hex = static_cast<WCHAR>(digit < 10 ? WIDE('0') + digit : WIDE('A') + digit - 10);
        line.Append(&hex, 1);
    }
}

// The name as the registry holds it, all `length` characters, but for what could hide in it or let
// it pass for another name or break its line: the characters HidesOrMimics names, a space at either
// end, and an unpaired surrogate, which UTF-8 cannot carry. Each UTF-16 unit of those comes out as
// \uXXXX; a key name holds no backslash, so an escape cannot be mistaken for part of a name, and two
// different names never print the same. Text that comes before the name on its line (a link's
// target, a device's description) also has its colons and quotation marks escaped, and whatever
// looks like them, so that the name is still everything after the line's first ": " and a
// description everything between the line's first two quotation marks; and a backslash escaped where
// a "u" follows it (a target is a path of names, and a description may hold anything).
void AppendName(Text& line, const WCHAR* name, std::size_t length, bool beforeTheName = false)
{
    const auto isHigh = [](WCHAR c) { return c >= 0xD800 && c <= 0xDBFF; };
    const auto isLow = [](WCHAR c) { return c >= 0xDC00 && c <= 0xDFFF; };
    for (std::size_t i = 0; i < length; ++i) {
        const WCHAR c = name[i];
        if (isHigh(c) && i + 1 < length && isLow(name[i + 1])) {
            const std::uint32_t code = 0x10000 + ((static_cast<std::uint32_t>(c) - 0xD800) << 10)
                                       + (static_cast<std::uint32_t>(name[i + 1]) - 0xDC00);
            if (HidesOrMimics(code)) {
                AppendEscape(line, c);
                AppendEscape(line, name[i + 1]);
            } else {
                line.Append(&name[i], 2);
            }
            ++i;
            continue;
        }
        const bool endSpace = c == WIDE(' ') && (i == 0 || i + 1 == length);
        // Before the name a backslash that a "u" follows is escaped, so that an escape never reads like
        // a key named "u003A".
        const bool backslashBeforeU = c == WIDE('\\') && i + 1 < length && name[i + 1] == WIDE('u');
        const bool delimiterEscape =
            beforeTheName && (c == WIDE(':') || c == WIDE('"') || LooksLikeADelimiter(c) || backslashBeforeU);
        if (HidesOrMimics(c) || isHigh(c) || isLow(c) || endSpace || delimiterEscape) {
            AppendEscape(line, c);
        } else {
            line.Append(&name[i], 1);
        }
    }
}

void AppendName(Text& line, const WCHAR* name)
{
    AppendName(line, name, CharactersBeforeNul(name));
}

} // namespace

void Listing::Send(const Text& text)
{
    if (text.Size() != 0 && !output_.Write(text.Data(), text.Size())) {
        whole_ = false;
    }
}

void Listing::SendLine()
{
    line_.Append(WIDE("\r\n"));
    Send(line_);
    line_.Clear();
}

void Listing::KeepLineForListEnd()
{
    line_.Append(WIDE("\r\n"));
    deferred_.Append(line_.Data(), line_.Size());
    line_.Clear();
}

void Listing::ControlSet(const WCHAR* classKeyPath)
{
    tally_.inCurrentSet = SameText(classKeyPath, CurrentClassKeyPath);
    // The control set's name is the second part of SYSTEM\<set>\Control\Class\{...}.
    const WCHAR* start = classKeyPath;
    while (*start != 0 && *start != WIDE('\\')) {
        ++start;
    }
    const WCHAR* end = *start != 0 ? ++start : start;
    while (*end != 0 && *end != WIDE('\\')) {
        ++end;
    }
    line_.Append(start, static_cast<std::size_t>(end - start));
}

void Listing::ClassKeyOpened(LSTATUS status)
{
    if (tally_.inCurrentSet) {
        tally_.currentClassKey = status;
    }
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        ++tally_.classKeysNotOpened;
    }
    if (status == ERROR_FILE_NOT_FOUND) {
        line_.Append(WIDE(": no USB class key"));
    } else if (status != ERROR_SUCCESS) {
        line_.Append(WIDE(": USB class key not opened ("));
        AppendError(line_, status);
        line_.Append(WIDE(")"));
    } else {
        line_.Append(WIDE(":"));
    }
    SendLine();
}

void Listing::Controller(const WCHAR* name, const SettingState& setting, const DeviceDescription& device)
{
    if (tally_.inCurrentSet) {
        ++tally_.currentControllers;
        if (!setting.Applied()) {
            ++tally_.currentLacking;
        }
    }
    line_.Append(WIDE("  controller, ForceHCResetOnResume "));
    const WCHAR* type = TypeName(setting.type);
    if (setting.status == ERROR_FILE_NOT_FOUND) {
        line_.Append(WIDE("absent"));
    } else if (setting.status == ERROR_MORE_DATA) {
        line_.Append(WIDE("of more than "));
        line_.AppendDecimal(ControllerDataCapacity);
        line_.Append(WIDE(" bytes"));
    } else if (setting.status != ERROR_SUCCESS) {
        line_.Append(WIDE("not read ("));
        AppendError(line_, setting.status);
        line_.Append(WIDE(")"));
    } else if (setting.type == REG_DWORD && setting.size == sizeof(DWORD)) {
        const DWORD value = static_cast<DWORD>(setting.data[0]) | static_cast<DWORD>(setting.data[1]) << 8
                            | static_cast<DWORD>(setting.data[2]) << 16 | static_cast<DWORD>(setting.data[3]) << 24;
        line_.Append(WIDE("REG_DWORD 0x"));
        line_.AppendHex(value);
    } else {
        if (type != nullptr) {
            line_.Append(type);
        } else {
            line_.Append(WIDE("of type "));
            line_.AppendDecimal(setting.type);
        }
        line_.Append(WIDE(", "));
        line_.AppendDecimal(setting.size);
        line_.Append(setting.size == 1 ? WIDE(" byte") : WIDE(" bytes"));
    }
    // After the setting, so that the setting keeps its place on every line, and before the name, which
    // stays last.
    if (device.text != nullptr) {
        line_.Append(WIDE(", \""));
        AppendName(line_, device.text, device.length, true);
        line_.Append(WIDE("\""));
    }
    line_.Append(WIDE(": "));
    AppendName(line_, name);
    SendLine();
}

void Listing::Removed(const WCHAR* name)
{
    ++tally_.removed;
    line_.Append(WIDE("  ForceHCResetOnResume removed: "));
    AppendName(line_, name);
    SendLine();
}

void Listing::NotRemoved(const WCHAR* name, LSTATUS status)
{
    ++tally_.left;
    line_.Append(WIDE("  ForceHCResetOnResume not removed ("));
    AppendError(line_, status);
    line_.Append(WIDE("): "));
    AppendName(line_, name);
    SendLine();
}

void Listing::Link(const WCHAR* name, const WCHAR* target, DWORD length)
{
    line_.Append(WIDE("  registry link"));
    if (length != 0) {
        line_.Append(WIDE(" to "));
        AppendName(line_, target, length, true);
    }
    line_.Append(WIDE(": "));
    AppendName(line_, name);
    SendLine();
}

void Listing::NotRemovedBehindLink(const WCHAR* name)
{
    ++tally_.leftBehindLinks;
    line_.Append(WIDE("  ForceHCResetOnResume not removed, behind a registry link: "));
    AppendName(line_, name);
    SendLine();
}

void Listing::NotOpened(const WCHAR* name, LSTATUS status)
{
    line_.Append(WIDE("  not opened ("));
    AppendError(line_, status);
    line_.Append(WIDE("), skipped as the program skips it: "));
    AppendName(line_, name);
    KeepLineForListEnd();
}

void Listing::NameTooLong(DWORD index)
{
    line_.Append(WIDE("  name longer than "));
    line_.AppendDecimal(NameCapacity - 1);
    line_.Append(WIDE(" characters, skipped as the program skips it: subkey number "));
    line_.AppendDecimal(index);
    KeepLineForListEnd();
}

void Listing::NameHoldsNul(const WCHAR* name, DWORD length)
{
    line_.Append(WIDE("  name holding a NUL, skipped as the program skips it: "));
    AppendName(line_, name, length);
    KeepLineForListEnd();
}

void Listing::ListEnded(LSTATUS status)
{
    Send(deferred_);
    deferred_.Clear();
    if (status != ERROR_NO_MORE_ITEMS) {
        ++tally_.listsCutShort;
        if (tally_.inCurrentSet) {
            tally_.currentListEnd = status;
        }
        line_.Append(WIDE("  the list of instances stopped early ("));
        AppendError(line_, status);
        line_.Append(WIDE(")"));
        SendLine();
    }
}

namespace {

// "1 host controller", "3 host controllers".
void AppendCount(Text& line, DWORD count, const WCHAR* one, const WCHAR* many)
{
    line.AppendDecimal(count);
    line.Append(count == 1 ? one : many);
}

} // namespace

bool Listing::SaidIncomplete(const WCHAR* nextStep)
{
    if (whole_) {
        return false;
    }
    line_.Append(WIDE("incomplete: lines of this listing could not be written; "));
    line_.Append(nextStep);
    SendLine();
    return true;
}

void Listing::CheckVerdict(int status)
{
    if (SaidIncomplete(WIDE("run the check again where its output can be written whole"))) {
        return;
    }
    const Tally& tally = tally_;
    if (status == 0) {
        line_.Append(WIDE("done: "));
        if (tally.currentControllers == 0) {
            line_.Append(tally.currentClassKey == ERROR_FILE_NOT_FOUND
                             ? WIDE("CurrentControlSet has no USB class key, so no host controller lacks the setting")
                             : WIDE("CurrentControlSet has no host controller, so none lacks the setting"));
        } else {
            line_.AppendDecimal(tally.currentControllers);
            line_.Append(WIDE(" of "));
            AppendCount(line_, tally.currentControllers, WIDE(" host controller in CurrentControlSet holds"),
                        WIDE(" host controllers in CurrentControlSet hold"));
            line_.Append(WIDE(" the setting"));
        }
    } else if (tally.currentClassKey != ERROR_SUCCESS && tally.currentClassKey != ERROR_FILE_NOT_FOUND) {
        line_.Append(WIDE("not done: the USB class key of CurrentControlSet could not be opened ("));
        AppendError(line_, tally.currentClassKey);
        line_.Append(WIDE("), see above"));
    } else {
        line_.Append(WIDE("not done: "));
        line_.AppendDecimal(tally.currentLacking);
        line_.Append(WIDE(" of "));
        AppendCount(line_, tally.currentControllers, WIDE(" host controller"), WIDE(" host controllers"));
        line_.Append(tally.currentLacking == 1 ? WIDE(" in CurrentControlSet lacks the setting")
                                               : WIDE(" in CurrentControlSet lack the setting"));
        if (tally.currentListEnd != ERROR_NO_MORE_ITEMS) {
            line_.Append(WIDE(", and its instances could not all be listed ("));
            AppendError(line_, tally.currentListEnd);
            line_.Append(WIDE(")"));
        }
        line_.Append(WIDE(", see above"));
    }
    SendLine();
}

void Listing::UndoVerdict(int status)
{
    if (SaidIncomplete(WIDE("the undo was done, run UsbResetOnResumeCheck.exe to see what is left"))) {
        return;
    }
    const Tally& tally = tally_;
    const bool done = status == 0;
    line_.Append(done ? WIDE("done: ") : WIDE("not done: "));
    line_.Append(WIDE("ForceHCResetOnResume removed from "));
    AppendCount(line_, tally.removed, WIDE(" instance"), WIDE(" instances"));
    if (done) {
        line_.Append(WIDE(", left on none"));
    } else {
        line_.Append(WIDE(", left on "));
        AppendCount(line_, tally.left + tally.leftBehindLinks, WIDE(" instance"), WIDE(" instances"));
        const DWORD notLookedThrough = tally.classKeysNotOpened + tally.listsCutShort;
        if (notLookedThrough != 0) {
            line_.Append(WIDE(", and "));
            AppendCount(line_, notLookedThrough, WIDE(" USB class key could"), WIDE(" USB class keys could"));
            line_.Append(WIDE(" not be looked through to the end"));
        }
        line_.Append(WIDE(", see above"));
    }
    SendLine();
}
