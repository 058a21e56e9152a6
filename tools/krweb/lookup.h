// What the pages read through the libraries in the server's own process: classes, templates, a
// class's fields, header and footer names, the stored reports; and the checks of a filter or
// sort text that the report form runs before it starts a report, so that a refusal shows the
// library's own message and where in the text it stopped. All of it runs on one thread that
// owns the server's runtime context (the libraries work on their caller's thread, one context
// each); reports themselves run as krreport children (runner.h).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace krweb {

struct ClassEntry {
  std::string nice_name, file_name;
};
struct TemplateEntry {
  std::string file_name, nice_name, class_name;
  int output_type = 0;
  bool summary = false;  // the template groups its records (a %groupby key)
};
// A report job under $KR_HOME/jobs: what `krreport job list` shows of it.
struct JobEntry {
  std::string name, template_name, calendar, last_run;
  std::vector<std::string> mail_to;
  bool readable = true;  // false when its settings file cannot be read
};
struct FieldEntry {
  std::string name, type, description;
};
struct StoredEntry {
  std::string name;
  int64_t time = 0;
  int output_type = 0;
  std::string class_name;
};
// A text the library refused: its message and the 0-based byte offset where it stopped (-1 when
// the message does not say).
struct Refusal {
  std::string message;
  long position = -1;
};

class Lookup {
 public:
  // Starts the thread and its context (home from KR_HOME unless `home` is given).
  explicit Lookup(const std::string& home);
  ~Lookup();

  // The reports directory, or "" when the installation has none configured.
  std::string ReportsDir();
  std::vector<ClassEntry> Classes();
  std::vector<TemplateEntry> Templates();
  // The fields of a class; false with *error when the class cannot be read.
  bool Fields(const std::string& class_name, std::vector<FieldEntry>* fields, std::string* error);
  // The names of the directories under the reports directory's `kind` (headers, footers).
  std::vector<std::string> Directories(const std::string& kind);
  // A filter (include, exclude, condition) or sort text checked against the class's fields.
  std::optional<Refusal> CheckFilter(const std::string& class_name, const std::string& text);
  std::optional<Refusal> CheckSort(const std::string& class_name, const std::string& text);
  // A format laying out `fields` with output type `type`'s format texts; "" on failure.
  std::string Format(const std::string& class_name, int type, const std::vector<std::string>& fields);
  std::vector<StoredEntry> Stored();
  // One stored report's parameters as (label, value) pairs; false when it is none.
  bool StoredDetails(const std::string& name, std::vector<std::pair<std::string, std::string>>* out);
  bool DeleteStored(const std::string& name);
  // The report jobs, by name.
  std::vector<JobEntry> Jobs();

 private:
  template <typename F>
  auto Call(F f) -> decltype(f()) {
    auto task = std::make_shared<std::packaged_task<decltype(f())()>>(std::move(f));
    auto result = task->get_future();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      work_.push_back([task] { (*task)(); });
    }
    wake_.notify_one();
    return result.get();
  }
  void Loop(std::string home, std::promise<void> ready);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> work_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace krweb
