#include "serial/port_names_posix.h"

const char* const kCandidatePortPrefixes[2] = {"ttyUSB", "ttyACM"};
const char kCandidatePortPatternsText[] = "/dev/ttyUSB*, /dev/ttyACM*";
