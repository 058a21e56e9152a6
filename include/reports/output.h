// Report output: the writers of a report's body (reports/outputwriters.h), and several stored
// reports written into one output directory, or output directories copied to another machine
// (reports/outputcopy.h). Kept so that code including it sees both.
#pragma once

#include "reports/outputcopy.h"
#include "reports/outputwriters.h"
