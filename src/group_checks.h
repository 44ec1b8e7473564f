// Checks of a group's names before it is converted (group_checks.cpp).
#pragma once

#include "error.h"
#include "inputs.h"
#include "settings.h"

// Before anything of the group is read: "-" (standard input) at most once
// in the group, and not again after an earlier group of the run read it
// (`stdin_taken`, which the run keeps); a non-empty output name; an output
// that is not one of the inputs.
Status check_group_names(const GroupNames& names, bool& stdin_taken);

// Once the inputs are open, before they are read: binary data are not
// written to a terminal, and an existing regular file that is not empty and
// holds no AVQ file is not replaced without --force.
Status check_group_output(const Settings& s, const char* oname);
