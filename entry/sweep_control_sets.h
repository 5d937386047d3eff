// The program's work from start to exit status, apart from the process start-up itself.
#pragma once

// Runs one pass per control set, ControlSet001, ControlSet002 and then CurrentControlSet, and returns
// the CurrentControlSet pass's result (ApplyToClassKey says what 1 means).
[[nodiscard]] int SweepControlSets();
