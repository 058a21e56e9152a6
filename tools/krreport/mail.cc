// Building the mail message of a produced report with GMime: the body by the report's kind,
// the plain-text rendering of an HTML page (libxml2's HTML parser), the gzip-compressed body
// when the size limit asks for it (zlib), and the checks on addresses and the subject.
#include "mail.h"

#include <gmime/gmime.h>
#include <libxml/HTMLparser.h>
#include <libxml/tree.h>
#include <strings.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>


namespace krmail {
namespace {

// --- GMime objects --------------------------------------------------------------------------

void InitGMime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

// Holds one reference to a GObject and drops it on every path.
template <typename T>
class GRef {
 public:
  explicit GRef(T* object = nullptr) : object_(object) {}
  GRef(const GRef&) = delete;
  GRef& operator=(const GRef&) = delete;
  ~GRef() {
    if (object_ != nullptr) g_object_unref(object_);
  }
  T* get() const { return object_; }
  void reset(T* object) {
    if (object_ != nullptr) g_object_unref(object_);
    object_ = object;
  }
  GMimeObject* mime() const { return GMIME_OBJECT(object_); }

 private:
  T* object_;
};

bool ReadWholeFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return false;
  *out = std::move(text).str();
  return true;
}

// A part holding `bytes` as they are, base64-encoded so nothing on the way changes them.
GMimePart* BinaryPart(const std::string& type, const std::string& subtype,
                      const std::string& bytes) {
  GMimePart* part = g_mime_part_new_with_type(type.c_str(), subtype.c_str());
  GRef<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
  GRef<GMimeDataWrapper> content(
      g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
  g_mime_part_set_content(part, content.get());
  g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
  return part;
}

GMimePart* Attachment(const std::string& type, const std::string& subtype,
                      const std::string& file_name, const std::string& bytes) {
  GMimePart* part = BinaryPart(type, subtype, bytes);
  g_mime_part_set_filename(part, file_name.c_str());  // also makes it an attachment
  return part;
}

// A text part in UTF-8, as the report was written. (GMime's own text setter would convert the
// text to the narrowest character set that holds it, while an HTML page declares its own.)
GMimeTextPart* TextPart(const char* subtype, const std::string& text) {
  GMimeTextPart* part = g_mime_text_part_new_with_subtype(subtype);
  GRef<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(text.data(), text.size()));
  GRef<GMimeDataWrapper> content(
      g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
  g_mime_part_set_content(GMIME_PART(part), content.get());
  g_mime_object_set_content_type_parameter(GMIME_OBJECT(part), "charset", "utf-8");
  return part;
}

// The file at `path` compressed as a .gz file would hold it (zlib's gzip wrapper, with the
// name), read and compressed a piece at a time. False when it cannot be read, or when the
// compressed form grows past `limit`: a report far too large to mail costs no more memory than
// the limit.
bool GzipFile(std::string* out, const std::string& path, const std::string& file_name,
              uint64_t limit) {
  std::ifstream in(path, std::ios::binary);
  z_stream z{};
  if (!in || deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
  gz_header header{};
  std::string name = file_name;
  header.name = reinterpret_cast<Bytef*>(name.data());
  deflateSetHeader(&z, &header);
  out->clear();
  std::string chunk(1 << 16, '\0');
  char buffer[1 << 16];
  int rc = Z_OK;
  while (rc == Z_OK && out->size() <= limit) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const std::streamsize got = in.gcount();
    if (in.bad()) break;
    const bool last = got == 0 || in.eof();
    z.next_in = reinterpret_cast<Bytef*>(chunk.data());
    z.avail_in = static_cast<uInt>(got);
    do {
      z.next_out = reinterpret_cast<Bytef*>(buffer);
      z.avail_out = sizeof buffer;
      rc = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
      out->append(buffer, sizeof buffer - z.avail_out);
    } while (z.avail_out == 0 && rc != Z_STREAM_ERROR);
    if (last && rc == Z_OK) rc = Z_BUF_ERROR;  // Z_FINISH gives Z_STREAM_END when done
  }
  deflateEnd(&z);
  return rc == Z_STREAM_END && out->size() <= limit;
}

std::string MessageText(GMimeMessage* message) {
  GRef<GMimeStream> out(g_mime_stream_mem_new());
  g_mime_object_write_to_stream(GMIME_OBJECT(message), nullptr, out.get());
  GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out.get()));
  return std::string(reinterpret_cast<const char*>(array->data), array->len);
}

bool HasControl(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::string LocalTimeText(int64_t t, const char* format) {
  const std::time_t when = static_cast<std::time_t>(t);
  std::tm local{};
  char text[64] = "";
  if (localtime_r(&when, &local) != nullptr) std::strftime(text, sizeof text, format, &local);
  return text;
}

std::string SizeText(uint64_t bytes) {
  char text[32];
  if (bytes >= (uint64_t{1} << 20)) {
    std::snprintf(text, sizeof text, "%.1f MiB", double(bytes) / double(1 << 20));
  } else if (bytes >= 1024) {
    std::snprintf(text, sizeof text, "%.1f KiB", double(bytes) / 1024.0);
  } else {
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  }
  return text;
}

std::string Extension(const std::string& file_name) {
  const size_t dot = file_name.rfind('.');
  return dot == std::string::npos ? "" : file_name.substr(dot + 1);
}

// The file name a recipient saves the report under.
std::string AttachmentName(const Report& report) {
  switch (report.kind) {
    case Report::Kind::kCsv:
      return FileNameOf(report.name) + ".csv";
    case Report::Kind::kJsonLines:
      return FileNameOf(report.name) + ".jsonl";
    case Report::Kind::kHtml:
      return FileNameOf(report.name) + ".html";
    default:
      return FileNameOf(report.name) + ".txt";
  }
}

}  // namespace

// --- addresses and subject ------------------------------------------------------------------

void SplitAddress(const std::string& address, std::string* name, std::string* addr) {
  const size_t open = address.find('<');
  if (open == std::string::npos) {
    name->clear();
    *addr = Trim(address);
    return;
  }
  *name = Trim(address.substr(0, open));
  const size_t close = address.find('>', open);
  *addr = address.substr(open + 1, close == std::string::npos ? std::string::npos
                                                              : close - open - 1);
}

// Deliberately narrower than the address grammar of RFC 5322 (no quoted local parts, comments
// or groups): a recipient of a scheduled report is a plain mailbox, and a narrow rule leaves
// nothing for a transport to read as an option or a second header.
std::string CheckAddress(const std::string& address) {
  const std::string shown = "'" + address + "'";
  if (HasControl(address)) {
    return "mail address " + shown + " contains a line break or control character";
  }
  // The longest address a mail system takes (RFC 5321's path limit less its brackets).
  if (address.size() > 320) return "mail address " + shown.substr(0, 40) + "...' is too long";
  std::string name, addr;
  SplitAddress(address, &name, &addr);
  if (addr.size() > 254) return "mail address " + shown + " is too long";
  if (address.find('<') != std::string::npos) {
    const size_t close = address.find('>');
    if (close == std::string::npos || !Trim(address.substr(close + 1)).empty() ||
        name.find_first_of("\"<>\\") != std::string::npos) {
      return "mail address " + shown + " is not of the form \"Name <name@domain>\"";
    }
  }
  static const std::regex kAddr(
      "[A-Za-z0-9!#$%&'*+/=?^_`{|}~][A-Za-z0-9!#$%&'*+/=?^_`{|}~.-]*"
      "@[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?(\\.[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?)*");
  if (!std::regex_match(addr, kAddr) || addr.find("..") != std::string::npos ||
      addr[addr.find('@') - 1] == '.') {
    return "mail address " + shown + " is not a plain name@domain address";
  }
  return "";
}

std::string FileNameOf(const std::string& report_name) {
  std::string name;
  for (unsigned char c : report_name) {
    if (std::isalnum(c) || c == '_' || c == '.' || c >= 0x80) {
      name += static_cast<char>(c >= 0x80 ? c : std::tolower(c));
    } else if (!name.empty() && name.back() != '-') {
      name += '-';
    }
  }
  while (!name.empty() && (name.back() == '-' || name.back() == '.')) name.pop_back();
  while (!name.empty() && name[0] == '.') name.erase(0, 1);
  return name.empty() ? "report" : name;
}

std::string GroupedNumber(int64_t n) {
  std::string digits = std::to_string(n < 0 ? -n : n);
  for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(i, ",");
  return n < 0 ? "-" + digits : digits;
}

int ExpandSubject(std::string* out, std::string* error, const std::string& pattern,
                  const Report& report) {
  if (HasControl(pattern)) {
    *error = "the subject contains a line break or control character";
    return 0;
  }
  const std::pair<const char*, std::string> values[] = {
      {"REPORTNAME", report.name},
      {"NUMRECORDS", GroupedNumber(report.records)},
      {"SERVERNAME", report.server},
      {"DATEMADE", LocalTimeText(report.made, "%Y-%m-%d")},
      {"TIMEMADE", LocalTimeText(report.made, "%H:%M")},
  };
  std::string text;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') {
      text += pattern[i];
      continue;
    }
    if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      text += '%';
      ++i;
      continue;
    }
    size_t end = i + 1;
    while (end < pattern.size() && (std::isalnum(static_cast<unsigned char>(pattern[end])) ||
                                    pattern[end] == '_')) {
      ++end;
    }
    const std::string key = pattern.substr(i + 1, end - i - 1);
    const std::string* value = nullptr;
    for (const auto& [name, v] : values) {
      if (strcasecmp(name, key.c_str()) == 0) value = &v;
    }
    if (value == nullptr) {
      *error = "the subject names an unknown placeholder '%" + key +
               "' (known: %REPORTNAME %NUMRECORDS %SERVERNAME %DATEMADE %TIMEMADE, and "
               "%% for a percent sign)";
      return 0;
    }
    if (HasControl(*value)) {
      *error = "the subject's %" + key + " holds a line break or control character ('" +
               *value + "')";
      return 0;
    }
    text += *value;
    i = end - 1;
  }
  *out = std::move(text);
  return 1;
}

std::string CheckSettings(const Settings& settings) {
  if (settings.to.empty()) return "no recipient";
  for (const std::string& to : settings.to) {
    if (std::string fault = CheckAddress(to); !fault.empty()) return fault;
  }
  if (!settings.from.empty()) {
    if (std::string fault = CheckAddress(settings.from); !fault.empty()) return fault;
  }
  std::string subject, error;
  Report sample;
  if (!ExpandSubject(&subject, &error, settings.subject, sample)) return error;
  if (Trim(settings.sendmail).empty()) return "no mail program (sendmail) is set";
  return "";
}

// --- the plain-text rendering of an HTML page -----------------------------------------------

namespace {

bool IsBlock(const char* name) {
  static const std::set<std::string> kBlocks = {
      "p",  "div",   "br",    "tr", "h1",    "h2",     "h3",      "h4",     "h5",   "h6",
      "li", "table", "thead", "tbody", "tfoot", "pre", "section", "header", "footer", "hr"};
  return kBlocks.count(name) != 0;
}

void AppendText(const xmlNode* node, std::string* out, bool in_pre);

bool Named(const xmlNode* n, const char* name) {
  return n->type == XML_ELEMENT_NODE && strcasecmp(reinterpret_cast<const char*>(n->name), name) == 0;
}

// The rows of a table (not of tables inside it), each a list of its cells' texts.
void CollectRows(const xmlNode* node, std::vector<std::vector<std::string>>* rows) {
  for (const xmlNode* n = node; n != nullptr; n = n->next) {
    if (Named(n, "table")) continue;
    if (!Named(n, "tr")) {
      CollectRows(n->children, rows);
      continue;
    }
    std::vector<std::string> row;
    for (const xmlNode* c = n->children; c != nullptr; c = c->next) {
      if (!Named(c, "td") && !Named(c, "th")) continue;
      std::string cell;
      AppendText(c->children, &cell, false);
      for (char& ch : cell) ch = ch == '\n' ? ' ' : ch;
      row.push_back(Trim(cell));
    }
    rows->push_back(std::move(row));
  }
}

size_t CodePoints(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xc0) != 0x80 ? 1 : 0;
  return n;
}

// A table as aligned columns: two blanks between them, numbers to the right as the page has them.
void AppendTable(const xmlNode* table, std::string* out) {
  std::vector<std::vector<std::string>> rows;
  CollectRows(table->children, &rows);
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], CodePoints(row[i]));
  }
  if (!out->empty() && out->back() != '\n') *out += '\n';
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      const std::string pad(widths[i] - CodePoints(row[i]), ' ');
      const bool number = !row[i].empty() && std::isdigit(static_cast<unsigned char>(row[i][0]));
      line += (i == 0 ? "" : "  ") + (number ? pad + row[i] : row[i] + pad);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    *out += line + "\n";
  }
}

void AppendText(const xmlNode* node, std::string* out, bool in_pre) {
  for (const xmlNode* n = node; n != nullptr; n = n->next) {
    if (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) {
      const char* text = reinterpret_cast<const char*>(n->content);
      if (text == nullptr) continue;
      if (in_pre) {
        *out += text;
        continue;
      }
      // Outside <pre> runs of white space are one blank, as a browser shows them.
      for (const char* c = text; *c != '\0'; ++c) {
        const bool blank = *c == ' ' || *c == '\n' || *c == '\t' || *c == '\r';
        if (!blank) {
          *out += *c;
        } else if (!out->empty() && out->back() != ' ' && out->back() != '\n') {
          *out += ' ';
        }
      }
      continue;
    }
    if (n->type != XML_ELEMENT_NODE) continue;
    const char* name = reinterpret_cast<const char*>(n->name);
    if (strcasecmp(name, "style") == 0 || strcasecmp(name, "script") == 0 ||
        strcasecmp(name, "head") == 0) {
      continue;
    }
    if (strcasecmp(name, "table") == 0) {
      AppendTable(n, out);
      continue;
    }
    const bool block = IsBlock(name);
    const bool cell = strcasecmp(name, "td") == 0 || strcasecmp(name, "th") == 0;
    if (block && !out->empty() && out->back() != '\n') *out += '\n';
    if (cell && !out->empty() && out->back() != '\n') {
      while (!out->empty() && out->back() == ' ') out->pop_back();
      *out += "  ";
    }
    if (strcasecmp(name, "img") == 0) {
      xmlChar* alt = xmlGetProp(n, reinterpret_cast<const xmlChar*>("alt"));
      if (alt != nullptr) {
        *out += "[" + std::string(reinterpret_cast<const char*>(alt)) + "]";
        xmlFree(alt);
      }
    }
    AppendText(n->children, out, in_pre || strcasecmp(name, "pre") == 0);
    if (block && !out->empty() && out->back() != '\n') *out += '\n';
  }
}

}  // namespace

std::string HtmlToText(const std::string& html) {
  htmlDocPtr doc = htmlReadMemory(html.data(), static_cast<int>(html.size()), nullptr, "utf-8",
                                  HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET);
  if (doc == nullptr) return "";
  std::string text;
  AppendText(xmlDocGetRootElement(doc), &text, false);
  xmlFreeDoc(doc);
  // Trailing blanks of each line go, and so do runs of empty lines.
  std::string clean;
  std::istringstream lines(text);
  std::string line;
  bool empty_before = true;
  while (std::getline(lines, line)) {
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (line.empty() && empty_before) continue;
    empty_before = line.empty();
    clean += line + "\n";
  }
  return clean;
}

// --- building the message -------------------------------------------------------------------

namespace {

// The page's references to files of the output directory (<img src="logo.png">) become cid:
// references to parts of their own. Only a plain file name that names a file of the directory
// is taken; anything else (http:, data:, paths) stays as it is. The page is edited as text, not
// parsed and written back, so the page a recipient sees is byte for byte the one on disk apart
// from these attribute values.
struct Inline {
  std::string file, cid;
};

// The value of the src attribute that starts at `at` (just after "src"): the position and
// length of the text between its quotes, and the end of the attribute. False when what follows
// is no quoted attribute value.
bool SrcValue(const std::string& html, size_t at, size_t* value, size_t* length, size_t* end) {
  size_t i = at;
  while (i < html.size() && std::isspace(static_cast<unsigned char>(html[i]))) ++i;
  if (i >= html.size() || html[i] != '=') return false;
  ++i;
  while (i < html.size() && std::isspace(static_cast<unsigned char>(html[i]))) ++i;
  if (i >= html.size() || (html[i] != '"' && html[i] != '\'')) return false;
  const size_t close = html.find(html[i], i + 1);
  if (close == std::string::npos) return false;
  *value = i + 1;
  *length = close - i - 1;
  *end = close + 1;
  return true;
}

// A scan for src="..." rather than a regular expression: a report's page can be many megabytes,
// and std::regex recurses per character of a match.
std::string LinkImages(const std::string& html, const std::string& directory,
                       const std::string& domain, std::vector<Inline>* inlines) {
  std::string out;
  size_t copied = 0;
  for (size_t at = 0; at + 3 <= html.size(); ++at) {
    if (strncasecmp(html.c_str() + at, "src", 3) != 0 ||
        (at > 0 && (std::isalnum(static_cast<unsigned char>(html[at - 1])) || html[at - 1] == '-'))) {
      continue;
    }
    size_t value = 0, length = 0, end = 0;
    if (!SrcValue(html, at + 3, &value, &length, &end)) continue;
    const std::string file = html.substr(value, length);
    const bool local = !file.empty() && file.find('/') == std::string::npos &&
                       file.find(':') == std::string::npos && file[0] != '.' &&
                       access((directory + "/" + file).c_str(), R_OK) == 0;
    if (!local) continue;
    std::string cid;
    for (const Inline& i : *inlines) {
      if (i.file == file) cid = i.cid;
    }
    if (cid.empty()) {
      cid = "part" + std::to_string(inlines->size() + 1) + "." + file + "@" + domain;
      inlines->push_back({file, cid});
    }
    out.append(html, copied, at - copied);
    out += "src=\"cid:" + cid + "\"";
    copied = end;
    at = end - 1;
  }
  out.append(html, copied, std::string::npos);
  return out;
}

std::pair<std::string, std::string> ImageType(const std::string& file) {
  std::string ext = Extension(file);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "png") return {"image", "png"};
  if (ext == "jpg" || ext == "jpeg") return {"image", "jpeg"};
  if (ext == "gif") return {"image", "gif"};
  if (ext == "svg") return {"image", "svg+xml"};
  if (ext == "webp") return {"image", "webp"};
  if (ext == "css") return {"text", "css"};
  return {"application", "octet-stream"};
}

std::string Domain() {
  char host[256] = "";
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "localhost";
  return host;
}

// The HTML page with its text rendering and inline images.
bool HtmlBody(GRef<GMimeObject>* body, std::string* error, const Report& report,
              const std::string& page) {
  const std::string domain = Domain();
  std::vector<Inline> inlines;
  const std::string linked = LinkImages(page, report.directory, domain, &inlines);
  GMimeMultipart* alternative = g_mime_multipart_new_with_subtype("alternative");
  body->reset(GMIME_OBJECT(alternative));
  GRef<GMimeTextPart> text(TextPart("plain", HtmlToText(page)));
  g_mime_multipart_add(alternative, text.mime());
  GRef<GMimeTextPart> html(TextPart("html", linked));
  if (inlines.empty()) {
    g_mime_multipart_add(alternative, html.mime());
    return true;
  }
  GRef<GMimeMultipart> related(g_mime_multipart_new_with_subtype("related"));
  g_mime_object_set_content_type_parameter(related.mime(), "type", "text/html");
  g_mime_multipart_add(related.get(), html.mime());
  for (const Inline& i : inlines) {
    std::string bytes;
    if (!ReadWholeFile(report.directory + "/" + i.file, &bytes)) {
      *error = "cannot read '" + report.directory + "/" + i.file + "'";
      return false;
    }
    const auto [type, subtype] = ImageType(i.file);
    GRef<GMimePart> image(BinaryPart(type, subtype, bytes));
    g_mime_object_set_content_id(image.mime(), i.cid.c_str());
    g_mime_object_set_disposition(image.mime(), "inline");
    g_mime_object_set_content_disposition_parameter(image.mime(), "filename", i.file.c_str());
    g_mime_multipart_add(related.get(), image.mime());
  }
  g_mime_multipart_add(alternative, related.mime());
  return true;
}

std::string Note(const Report& report, const std::string& attached) {
  return report.name + ": " + GroupedNumber(report.records) + " records, made " +
         LocalTimeText(report.made, "%Y-%m-%d %H:%M") +
         (report.server.empty() ? "" : " on " + report.server) + ".\n" + attached +
         "\nThe report is also kept on " + (report.server.empty() ? "the server" : report.server) +
         " in " + report.directory + "\n";
}

// The message's body for the report as it is.
bool FullBody(GRef<GMimeObject>* body, std::string* error, const Report& report,
              const std::string& bytes) {
  if (report.kind == Report::Kind::kHtml) return HtmlBody(body, error, report, bytes);
  if (report.kind == Report::Kind::kText) {
    body->reset(GMIME_OBJECT(TextPart("plain", bytes)));
    return true;
  }
  GMimeMultipart* mixed = g_mime_multipart_new_with_subtype("mixed");
  body->reset(GMIME_OBJECT(mixed));
  const std::string name = AttachmentName(report);
  GRef<GMimeTextPart> note(
      TextPart("plain", Note(report, "The records are attached as " + name + ".\n")));
  g_mime_multipart_add(mixed, note.mime());
  const bool csv = report.kind == Report::Kind::kCsv;
  GRef<GMimePart> file(
      Attachment(csv ? "text" : "application", csv ? "csv" : "x-ndjson", name, bytes));
  if (csv) g_mime_object_set_content_type_parameter(file.mime(), "charset", "utf-8");
  g_mime_multipart_add(mixed, file.mime());
  return true;
}

// The message's body when the report is too large to go as it is.
void CompressedBody(GRef<GMimeObject>* body, const Report& report, uint64_t size,
                    const std::string& gz, uint64_t limit) {
  GMimeMultipart* mixed = g_mime_multipart_new_with_subtype("mixed");
  body->reset(GMIME_OBJECT(mixed));
  const std::string name = AttachmentName(report) + ".gz";
  GRef<GMimeTextPart> note(TextPart(
      "plain", Note(report, "The report (" + SizeText(size) +
                                ") is larger than the mail size limit (" + SizeText(limit) +
                                "), so it is attached gzip-compressed as " + name +
                                (report.kind == Report::Kind::kHtml ? " (without its images)"
                                                                    : "") + ".\n")));
  g_mime_multipart_add(mixed, note.mime());
  GRef<GMimePart> file(Attachment("application", "gzip", name, gz));
  g_mime_multipart_add(mixed, file.mime());
}

GMimeMessage* NewMessage(const Settings& settings, const std::string& subject) {
  GMimeMessage* message = g_mime_message_new(TRUE);
  std::string name, addr;
  if (!settings.from.empty()) {
    SplitAddress(settings.from, &name, &addr);
    g_mime_message_add_mailbox(message, GMIME_ADDRESS_TYPE_FROM,
                               name.empty() ? nullptr : name.c_str(), addr.c_str());
  }
  for (const std::string& to : settings.to) {
    SplitAddress(to, &name, &addr);
    g_mime_message_add_mailbox(message, GMIME_ADDRESS_TYPE_TO,
                               name.empty() ? nullptr : name.c_str(), addr.c_str());
  }
  g_mime_message_set_subject(message, subject.c_str(), "utf-8");
  GDateTime* now = g_date_time_new_now_local();
  g_mime_message_set_date(message, now);
  g_date_time_unref(now);
  char* id = g_mime_utils_generate_message_id(Domain().c_str());
  g_mime_message_set_message_id(message, id);
  g_free(id);
  return message;
}

std::string Finish(GMimeMessage* message, GMimeObject* body) {
  g_mime_message_set_mime_part(message, body);
  // Text parts get quoted-printable or base64 where a line is long or not ASCII, so every line
  // handed over stays within the transport's limits.
  g_mime_object_encode(GMIME_OBJECT(message), GMIME_ENCODING_CONSTRAINT_7BIT);
  return MessageText(message);
}

}  // namespace

int BuildMessage(std::string* message, std::string* error, bool* compressed,
                 const Settings& settings, const Report& report) {
  InitGMime();
  *compressed = false;
  std::string subject;
  if (!ExpandSubject(&subject, error,
                     settings.subject.empty() ? kDefaultSubject : settings.subject, report)) {
    return 0;
  }
  const std::string path = report.directory + "/" + report.body;
  std::error_code ec;
  const uint64_t size = std::filesystem::file_size(path, ec);
  if (ec) {
    *error = "cannot read the report '" + path + "': " + ec.message();
    return 0;
  }
  // A body over the limit cannot make a message under it: it goes compressed at once, without
  // being read whole.
  if (size <= settings.max_size) {
    std::string bytes;
    if (!ReadWholeFile(path, &bytes)) {
      *error = "cannot read the report '" + path + "': " + std::strerror(errno);
      return 0;
    }
    GRef<GMimeObject> body;
    if (!FullBody(&body, error, report, bytes)) return 0;
    GRef<GMimeMessage> full(NewMessage(settings, subject));
    std::string text = Finish(full.get(), body.get());
    if (text.size() <= settings.max_size) {
      *message = std::move(text);
      return 1;
    }
  }
  std::string gz;
  std::string text;
  if (GzipFile(&gz, path, AttachmentName(report), settings.max_size)) {
    GRef<GMimeObject> small;
    CompressedBody(&small, report, size, gz, settings.max_size);
    GRef<GMimeMessage> shrunk(NewMessage(settings, subject));
    text = Finish(shrunk.get(), small.get());
  }
  if (text.empty() || text.size() > settings.max_size) {
    *error = "the report is too large to mail: " + SizeText(size) +
             ", and over the mail size limit of " + SizeText(settings.max_size) +
             " even gzip-compressed (raise the limit with --mail-max-size or maxsize in the "
             "[mail] stanza of reports.cfg)";
    return 0;
  }
  *compressed = true;
  *message = std::move(text);
  return 1;
}

}  // namespace krmail
