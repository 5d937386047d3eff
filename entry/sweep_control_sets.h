// The program's work from start to exit status, apart from the process start-up itself.
#pragma once

// Runs one pass per control set, in the order of ClassKeyPaths, and returns the result of the
// CurrentControlSet pass: 1 when a controller there could not be written, else 0.
[[nodiscard]] int SweepControlSets();
