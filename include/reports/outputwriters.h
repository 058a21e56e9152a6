// Report writers: the body of a produced report as plain text, HTML text or comma-separated
// values.
//
// A writer takes a produced report (a RepControl whose table holds the filtered, sorted
// records), builds the list of fields its format uses, opens the output file for appending (the
// output wrapper has already written the header text there, and writes the footer after), and
// writes either the empty-report text or the column headers and the records; the plain text and
// HTML writers may add a row of column totals and a row of averages. How each of these looks is
// carried by the output options (RepParamInstance values of the output type's option
// definitions), read by key; no markup is built into the writers.
//
// The three writers differ only where their options differ:
//   plain text  fixed or variable width (variablewidthoutput); headers aligned to the columns
//               of a single-line format, or free headers; sum and average rows always at fixed
//               width; record output may be disabled.
//   HTML text   always variable width; free headers from four option texts, only when asked
//               for; sum and average rows; record output may be disabled.
//   CSV         always variable width; nice names followed by commas as the default header of
//               a single-line format; no sum or average rows.
//
// A report whose parameters name no valid output type (0-2), or whose format references a
// field that the class does not offer, is refused before the output file is opened. A failed
// write (a full disk) fails the writer; what was written before stays in the file.
//
// Thread safety: none beyond the runtime's; objects belong to the calling thread.
#pragma once

#include <string>

#include "kr/list.h"
#include "reports/control.h"

// Each returns 1 when every step it ran succeeded, 0 otherwise (each failure traced).
// `progress` (may be null) is called as progress(progress_argument, 0) every 2500 records.
int RepOutputPlainText(const RepControl* control, const char* output_file, const List* options,
                       RepProgressCallback progress, void* progress_argument) noexcept;
int RepOutputHTMLText(const RepControl* control, const char* output_file, const List* options,
                      RepProgressCallback progress, void* progress_argument) noexcept;
int RepOutputCSV(const RepControl* control, const char* output_file, const List* options,
                 RepProgressCallback progress, void* progress_argument) noexcept;

// Output option values by key (case-blind) from a list of RepParamInstance. 1 and the value
// when the option is present; 0 when it is absent (the value is left as it was). A boolean
// option holding another kind of value reads as false, a string option holding no string as
// the empty text.
int RepGetOptionBoolean(bool* value, const List* options, const char* key) noexcept;
int RepGetOptionString(std::string* value, const List* options, const char* key) noexcept;
