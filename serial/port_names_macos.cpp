#include "serial/port_names_posix.h"

const char* const kCandidatePortPrefixes[2] = {"cu.usbserial", "cu.usbmodem"};
const char kCandidatePortPatternsText[] = "/dev/cu.usbserial*, /dev/cu.usbmodem*";
