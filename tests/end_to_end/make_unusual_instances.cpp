// Adds to a class key the two instances that .reg text cannot express and that the program must step
// over: one that cannot be opened at all (a registry link to a key that does not exist) and one whose
// name is 256 characters long, one more than the program's name buffer holds with its NUL.
// usage: make_unusual_instances CLASS-KEY-PATH LINK-NAME LONG-NAME-PREFIX
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

bool Succeeded(LSTATUS status, const char* what)
{
    if (status != ERROR_SUCCESS) {
        std::fprintf(stderr, "make_unusual_instances: %s failed with status %ld\n", what, static_cast<long>(status));
    }
    return status == ERROR_SUCCESS;
}

bool CreateDanglingLink(const std::wstring& classKey, const std::wstring& name)
{
    HKEY link = nullptr;
    const std::wstring path = classKey + L"\\" + name;
    if (!Succeeded(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr,
                                   REG_OPTION_CREATE_LINK | REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | KEY_CREATE_LINK,
                                   nullptr, &link, nullptr),
                   "RegCreateKeyExW (link)")) {
        return false;
    }
    // The target is given in the kernel's namespace, its length without the terminating NUL.
    const std::wstring target = L"\\Registry\\Machine\\SOFTWARE\\UsbResetOnResumeTests\\NoSuchKey";
    const LSTATUS status = RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK,
                                          reinterpret_cast<const BYTE*>(target.c_str()),
                                          static_cast<DWORD>(target.size() * sizeof(wchar_t)));
    RegCloseKey(link);
    return Succeeded(status, "RegSetValueExW (SymbolicLinkValue)");
}

bool CreateLongNamedController(const std::wstring& classKey, const std::wstring& prefix)
{
    const std::wstring name = prefix + std::wstring(256 - prefix.size(), L'x');
    HKEY key = nullptr;
    if (!Succeeded(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (classKey + L"\\" + name).c_str(), 0, nullptr, 0,
                                   KEY_ALL_ACCESS, nullptr, &key, nullptr),
                   "RegCreateKeyExW (long name)")) {
        return false;
    }
    const BYTE controller = 0x01;
    const LSTATUS status = RegSetValueExW(key, L"Controller", 0, REG_BINARY, &controller, 1);
    RegCloseKey(key);
    return Succeeded(status, "RegSetValueExW (Controller)");
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: make_unusual_instances CLASS-KEY-PATH LINK-NAME LONG-NAME-PREFIX\n");
        return 2;
    }
    return CreateDanglingLink(argv[1], argv[2]) && CreateLongNamedController(argv[1], argv[3]) ? 0 : 1;
}
