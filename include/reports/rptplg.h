// Agents and report jobs: starting, stopping and serving as an agent (reports/agents.h), and
// report job records and component lists (reports/reportjobs.h). Kept so that code including it
// sees both.
#pragma once

#include "reports/agents.h"
#include "reports/reportjobs.h"
