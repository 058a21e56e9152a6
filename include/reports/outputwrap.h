// The report output wrapper: a produced report written out as a finished output directory.
//
// An output directory (reports directory/output/<name>) holds one body file, output.html or
// output.txt, made of the report's header text, the body written by the writer of its output type
// and its footer text, each appended in turn, plus the images of the header and footer.
//
// Header and footer texts come from the parameters (headertext, footertext) or from the content
// file of a named header or footer directory (reports directory/headers/<name>/content, and
// likewise footers), whose images/ files are copied beside the body. The header and footer name
// equal to the localised "Default" stands for "HTMLDefault" in HTML reports and "TextDefault"
// otherwise. Plain text and CSV may be wrapped in HTML: then the body file is output.html and the
// whole output stands between the PlainToHTMLPre and PlainToHTMLPost texts of reports.cfg.
//
// Texts may reference the text replace fields (fields files textreplace and textreplaceperreport
// under the reports directory's fields directory) like a record format references fields:
// %DATENOW, %TIMENOW, %SERVERNAME, %SERVERVERSION, %SERVERDESCRIPTION, and, for a report,
// %REPORTTYPE, %NUMRECORDS, %DATEMADE and %TIMEMADE. A caller adds its own fields and fills them
// through a value callback.
//
// Names that reach a path (an output directory name, a header or footer name) must be single
// plain names: a separator or ".." is refused.
//
// Thread safety: none beyond the runtime's; everything runs on the caller's thread, no lock is
// taken.
#pragma once

#include <cstdint>
#include <string>

#include "kr/list.h"
#include "reports/control.h"
#include "reports/fields.h"

// Fills the caller's own text replace fields. `values` is the value list of a record made for
// `fields` (the distinct fields the text references, in order of first reference), each value in
// state Normal with a blank value, the wrapper's own fields already filled. Returns 1 when it
// supplied its values; anything else fails the text.
using RepValueCallback = int (*)(List* values, const RepFieldList* fields, void* argument);

// Creates a new output directory under reports directory/output and hands back its path and the
// body file name (output.html when `html` is 1, else output.txt). With `unique` 1 the directory
// name is the ASCII letters and digits of `name` followed by the current time in microseconds as
// "0x" and hexadecimal digits; otherwise `name` itself, which must be a plain name. 1/0.
int RepInitOutputDir(std::string* directory, std::string* file_name, int html, const char* name,
                     int unique) noexcept;

// Writes header, body and footer of one produced report into `directory`. 1/0; on failure
// `error_text` (may be null) receives a localised text for the user. What was written before a
// failure stays in the body file.
int RepOutputReport(std::string* error_text, const char* directory, const RepControl* control,
                    int32_t output_type, int html_wrap, const List* options,
                    RepValueCallback value_callback, const RepFieldList* extra_fields,
                    void* callback_argument, RepProgressCallback progress,
                    void* progress_argument) noexcept;

// Appends `text` to the body file of `directory` (output.html when `html` is 1, else
// output.txt). With `replace` 1 the field references it holds are filled in (with `control`,
// may be null, the per-report fields too); a text that references nothing is written exactly as
// it is. A missing or empty text writes nothing. 1/0.
int RepTextToOutputFile(const char* directory, const char* text, int html, int replace,
                        const RepControl* control, RepValueCallback value_callback,
                        const RepFieldList* extra_fields, void* callback_argument) noexcept;

// Copies the files of `head_foot_directory`/images into `directory`. 1 also when there is no
// images directory; 0 when `head_foot_directory` does not exist or a copy fails.
int RepXferHeadFootImages(const char* head_foot_directory, const char* directory) noexcept;

// Removes an output directory with its contents. 1/0.
int RepDeleteOutputReport(const char* directory) noexcept;
