// The control-set sweep: every control set gets its pass; the running one decides the exit status.
#include "sweep_control_sets.h"

#include "apply_to_class_key.h"
#include "class_key_paths.h"

int SweepControlSets()
{
    // A failure in a set Windows is not running must neither fail the deployment nor keep the
    // running set from its pass.
    for (const WCHAR* classKeyPath : OtherClassKeyPaths) {
        (void)ApplyToClassKey(classKeyPath);
    }
    return ApplyToClassKey(CurrentClassKeyPath);
}
