// Umbrella header of the command-handler library: every process_cmd_ handler
// of the console and the helpers they share.
#ifndef TARNFUNC_TARNFUNC_H
#define TARNFUNC_TARNFUNC_H

#include "console_functions.h"
#include "switch_functions.h"
#include "can_functions.h"

#endif
