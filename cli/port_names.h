// The "--port" help of one POSIX system; which nodes are candidates is the serial library's.
#pragma once

extern const char kPortHelpText[];
