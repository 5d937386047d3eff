// The control-set sweep: every control set gets its pass; the running one decides the exit status.
#include "sweep_control_sets.h"

#include "apply_to_class_key.h"
#include "class_key_paths.h"

int SweepControlSets()
{
    int result = 0;
    // Every pass runs whatever the one before returned. Only CurrentControlSet is what Windows is
    // running now; a failure in the other sets must not fail the deployment.
    for (const WCHAR* classKeyPath : ClassKeyPaths) {
        result = ApplyToClassKey(classKeyPath);
    }
    return result;
}
