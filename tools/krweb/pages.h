// The HTML of the web front end's pages, rendered on the server. Every value the pages print is
// escaped here (Html, Attr); report bodies themselves are never inlined as HTML: an HTML report
// is shown in a sandboxed frame from its output directory (server.cc), a text report as escaped
// text.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "lookup.h"
#include "runner.h"

namespace krweb {

// Text for HTML element content and for attribute values (quotes included).
std::string Html(const std::string& text);
// A component of a URL (query value or path segment), percent-encoded.
std::string UrlPart(const std::string& text);

// What every page needs to draw its frame: who is logged in and the CSRF token its forms carry.
struct PageContext {
  std::string user;
  std::string csrf;
};

// A whole page: navigation, a title, then `body` (already HTML).
std::string Layout(const PageContext& page, const std::string& title, const std::string& body);
std::string LoginPage(const std::string& login_token, const std::string& message);
// A short message page (e.g. an error), with a link back.
std::string MessagePage(const PageContext& page, const std::string& title,
                        const std::string& message);

// A summary template on the front page, with its latest output (under reports/output/`dir`):
// `body` is "" when it has not been produced yet; HTML is framed from `frame`, text is `text`.
struct SummaryView {
  TemplateEntry tmpl;
  std::string dir, body, text, frame;
  int64_t made = 0;  // when the body file was written, seconds since 1970
};
std::string SummariesPage(const PageContext& page, const std::vector<SummaryView>& summaries);
std::string JobsPage(const PageContext& page, const std::vector<JobEntry>& jobs);

// The templates, the classes (each leading to the report form) and the user's recent runs.
std::string HomePage(const PageContext& page, const std::vector<TemplateEntry>& templates,
                     const std::vector<ClassEntry>& classes, const std::vector<RunState>& runs);

// The report form's values, as submitted (and shown again when one is refused).
struct FormValues {
  std::string class_name;
  std::vector<std::string> fields;
  std::string include, exclude, condition, sort, type = "html", options, header, footer;
  bool html_wrap = false, store = false;
};
struct FormData {
  std::vector<FieldEntry> fields;
  std::vector<std::string> headers, footers;
  std::string error;      // the refusal message, with where it applies
  std::string refused;    // the refused text, and the offset the library stopped at
  long position = -1;
};
std::string FormPage(const PageContext& page, const FormValues& values, const FormData& data);

std::string RunPage(const PageContext& page, const RunState& run);
std::string RunsPage(const PageContext& page, const std::vector<RunState>& runs);
// The JSON the run page polls.
std::string RunJson(const RunState& run);

// A report's output directory: `body` is the body file's name, `text` the start of a text body
// (empty for HTML, which is framed from `frame_base`), `truncated` when the text was cut.
std::string ReportPage(const PageContext& page, const std::string& dir, const std::string& body,
                       const std::string& text, bool truncated,
                       const std::vector<std::string>& files, const std::string& frame_base);
std::string StoredPage(const PageContext& page, const std::vector<StoredEntry>& stored);
std::string StoredDetailPage(const PageContext& page, const std::string& name,
                             const std::vector<std::pair<std::string, std::string>>& details);

// The application's script and style sheet (served as files, so the pages need no inline code).
extern const char kAppScript[];
extern const char kAppStyle[];

}  // namespace krweb
