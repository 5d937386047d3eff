// The program's start: no arguments, no output, the sweep's result as the exit status.
#include "sweep_control_sets.h"

int wmain(int, wchar_t**)
{
    return SweepControlSets();
}
