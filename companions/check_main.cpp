// UsbResetOnResumeCheck.exe: lists, per control set, the host controllers UsbResetOnResume.exe writes
// with their ForceHCResetOnResume as it is now, and the instances it could not read. Reads only.
// Exit status 0 when every controller in CurrentControlSet holds REG_DWORD 1 and its class key could
// be looked through, else 1.
#include "companions.h"

int wmain(int, wchar_t**)
{
    StandardOutput output;
    Listing listing(output);
    return CheckControlSets(listing);
}
