// The control-set sweep: every control set gets its pass; the running one decides the exit status.
#include "sweep_control_sets.h"

#include "apply_to_class_key.h"
#include "control_sets.h"

int SweepControlSets()
{
    return ForEachControlSet(ApplyToClassKey).currentSet;
}
