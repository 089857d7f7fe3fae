// Several devices updated at once, each on a connection and a thread of its own, and the watch
// that updates units as they are plugged in. Only the examined package (read once) and the
// output are shared between the devices.
#pragma once

#include <cstdio>

struct CliOptions;
struct ExaminedPackage;
class RecordFile;

struct ManyDevicesSetup {
    const CliOptions& options; // ports (or --all), --watch, the package path as given
    const ExaminedPackage& package;
    RecordFile* record = nullptr; // null: no record
    std::FILE* trace = nullptr;   // null: no trace
};

// Runs the update on every port and returns the exit status by the rule --help gives: 0 when
// every device was updated and verified, otherwise the first that applies of 4, 3, 2, 5 (6 when a
// record could not be written). Progress goes to standard error, each device's outcome to
// standard output as it finishes, then the line "N updated, M failed".
int RunManyDevices(const ManyDevicesSetup& setup);
