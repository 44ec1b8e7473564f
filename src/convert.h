// The conversion of one group of inputs into one AVQ file (convert.cpp):
// the top of the converter's flow, below main.
#pragma once

#include "error.h"
#include "inputs.h"
#include "report.h"
#include "settings.h"

// Converts the group `names` as the settings say: warnings on standard
// error as they come, the output written only when the group converts.
// Returns the failure (the output is then left as it was, and no temporary
// file stays); `summary` tells what --summary says of a group that
// converted.
Status convert_group(const Settings& s, const GroupNames& names, GroupSummary& summary);
