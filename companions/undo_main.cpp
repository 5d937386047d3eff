// UsbResetOnResumeUndo.exe: removes ForceHCResetOnResume, and only it, from every instance of the USB
// class key in the three control sets, and names each instance it could not change. Exit status 0
// when no instance it can open still holds the value and every class key could be looked through, 1
// when not, 2 when the listing could not be written whole (the undo was done all the same).
#include "companions.h"

int wmain(int, wchar_t**)
{
    StandardOutput output;
    return RunUndo(output);
}
