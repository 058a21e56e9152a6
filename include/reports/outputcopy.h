// Several stored reports in one output directory, and output directories copied to another
// machine.
//
// The copy goes through the reports agent started on the target machine (reports/agents.h): one
// make-directory request for the top-level directory, then, walking the local tree, one
// make-directory request per directory and one file transfer request per file, each file
// permitted to the agent just before its request and withdrawn just after (kr/filexfer.h). One
// request is outstanding at a time. The agent is halted once the copy ends, however it ends.
// Traces under RPTOUTPUT (the copy) and REPOUTWRAP (the multi-report output).
//
// Thread safety: none beyond the runtime's; everything runs on the calling thread's context.
#pragma once

#include <cstdint>
#include <string>

#include "kr/list.h"
#include "kr/object.h"
#include "reports/fields.h"
#include "reports/outputwrap.h"

inline constexpr uint32_t kRepMakeDirMsg = 2916;
inline constexpr uint32_t kRepMakeDirReplyMsg = 2917;
inline constexpr uint32_t kRepFileXferMsg = 2978;
inline constexpr uint32_t kRepFileXferReplyMsg = 2979;
// The address kind of the agent that a copy starts.
inline constexpr int32_t kRepXferAgentKind = 17;

// 1 the last component of the local directory (not read); 2 the local directory; 3 the target
// machine; 4 the top-level directory's name on the target; 5 the agent's address.
struct RepXferCtx : ObjView<RepXferCtx> {
  static constexpr uint32_t kTypeCode = 0xcb170b18;
  static constexpr const char kSpec[] = "s;s;s;s;o;";
  static constexpr const char kName[] = "RepXferCtx";
};
// 1 a list of string objects: the components of the directory to make, top-level first; 2 null.
struct RepMakeDirRequest : ObjView<RepMakeDirRequest> {
  static constexpr uint32_t kTypeCode = 0xcb168d19;
  static constexpr const char kSpec[] = "o;o;";
  static constexpr const char kName[] = "RepMakeDirRequest";
};
// 1 1 when the directory exists afterwards, else 0.
struct RepMakeDirReply : ObjView<RepMakeDirReply> {
  static constexpr uint32_t kTypeCode = 0xcb168dc1;
  static constexpr const char kSpec[] = "i;";
  static constexpr const char kName[] = "RepMakeDirReply";
};
// 1 the components of the file on the target (top-level directory, subdirectories, file name);
// 2 the file's local path; 3 null.
struct RepFileXferRequest : ObjView<RepFileXferRequest> {
  static constexpr uint32_t kTypeCode = 0xc8ce9a0c;
  static constexpr const char kSpec[] = "o;s;o;";
  static constexpr const char kName[] = "RepFileXferRequest";
};
// The agent puts 1 in slot 1 when it fetched the file; senders do not read it.
struct RepFileXferReply : ObjView<RepFileXferReply> {
  static constexpr uint32_t kTypeCode = 0xc8ce9a58;
  static constexpr const char kSpec[] = "i;";
  static constexpr const char kName[] = "RepFileXferReply";
};

// Copies the output directory `directory`, with its files and subdirectories, to `machine`,
// under the name `top_name` (null: the directory's last component) in the reports output
// directory there. 0 when `machine` is the local machine (nothing copied), the agent cannot be
// started, or any directory or file fails.
int RepXferOutputToMachine(const char* directory, const char* machine,
                           const char* top_name) noexcept;

// 1 when the parameters of any produced-report item (a first slot holding a RepControl, a
// second its stored produced report name) name an HTML output type, else 0.
int RepReportsToOutputNeedHTML(const List* items) noexcept;

// Writes the stored reports of `items`, in order, into one new output directory named from
// "multireports", between the header and footer of the given directories (either may be null),
// on `machine`: kept locally when it is the local machine, else copied there and the local
// directory removed whatever the copy's outcome. `item_callback_arguments` (a list of any
// objects, one per item, handed to `item_value_callback` as its argument) must match the items
// in number when `item_value_callback` is given. 1 and the directory's last component in
// *leaf_name; 0 at the first failure (traced).
int RepOutputReportsToMachine(std::string* leaf_name, const List* items, const char* machine,
                              const char* header_directory, const char* footer_directory,
                              int use_condition, RepValueCallback value_callback,
                              const RepFieldList* extra_fields, void* callback_argument,
                              RepValueCallback item_value_callback,
                              const RepFieldList* item_extra_fields,
                              const List* item_callback_arguments) noexcept;
