// The extraction program: the command line over the salvage runs.
#pragma once

#include "salvage.h"

// The command line; returns the exit status.
int runVrsalvage(int argc, char** argv);
