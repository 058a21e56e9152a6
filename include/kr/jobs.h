// The job library's schedule call: the schedule a job record carries when it is to run once, at
// once.
//
// A job schedule is a stanza (it sits in a job step's stanza slot and travels with the record).
// The immediate schedule is the stanza
//
//   [Schedule]
//   Type = Immediate
//   Repeat = Never
//
// Readers only need to tell an immediate schedule from any other; JobScheduleIsImmediate does
// that, so no caller depends on the key names.
//
// Thread safety: no shared state.
#pragma once

#include <memory>

#include "kr/stanza.h"

// A new immediate schedule stanza. 1; 0 only when memory runs out or `out` is null.
int JobCreateImmediateScheduleStanza(std::unique_ptr<Stanza>* out) noexcept;

// True when `schedule` is an immediate schedule (title and type compared case-blind).
bool JobScheduleIsImmediate(const Stanza* schedule) noexcept;
