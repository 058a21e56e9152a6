#include "kr/path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "kr/file.h"
#include "testing.h"

namespace {

using kr_testing::TestHome;
using kr_testing::TraceCapture;
using kr_testing::WriteFile;

TEST(Path, BuildsAndTakesApartPaths) {
  TestHome home;
  std::string p;
  ASSERT_EQ(PathBuild(&p, "/opt/kr/", "/reports", "jobs//x/", nullptr), 1);
  EXPECT_EQ(p, "/opt/kr/reports/jobs/x");
  ASSERT_EQ(PathBuild(&p, "rel", "", "a", nullptr), 1);
  EXPECT_EQ(p, "rel/a");
  ASSERT_EQ(PathBuild(&p, "/", "etc", nullptr), 1);
  EXPECT_EQ(p, "/etc");
  EXPECT_EQ(PathBuild(&p, "", "/", nullptr), 0);
  EXPECT_EQ(PathBuild(&p, nullptr), 0);
  ASSERT_EQ(PathHomeBuild(&p, "config", "reptables.cfg", nullptr), 1);
  EXPECT_EQ(p, home.home() + "/config/reptables.cfg");

  ASSERT_EQ(PathLeaf(&p, "/a/b/output/"), 1);
  EXPECT_EQ(p, "output");
  EXPECT_EQ(PathLeaf(&p, "/"), 0);

  std::vector<std::string> parts;
  ASSERT_EQ(PathToComponentList(&parts, "images//sub/"), 1);
  EXPECT_EQ(parts, (std::vector<std::string>{"images", "sub"}));
  ASSERT_EQ(PathToComponentList(&parts, "/abs/x"), 1);
  ASSERT_EQ(parts, (std::vector<std::string>{"/", "abs", "x"}));
  ASSERT_EQ(PathBuild(&p, parts[0].c_str(), parts[1].c_str(), parts[2].c_str(), nullptr), 1);
  EXPECT_EQ(p, "/abs/x");
}

TEST(Path, TheNameCheckRefusesEscapes) {
  for (const char* ok : {"report", "Weekly jobs!", "a.b", "...", "caf\xC3\xA9", "-x"}) {
    EXPECT_TRUE(PathIsSafeName(ok)) << ok;
  }
  for (const char* bad : {"", ".", "..", "/etc", "a/b", "a\\b", "..\\x", "tab\there", "nl\n"}) {
    EXPECT_FALSE(PathIsSafeName(bad)) << bad;
  }
  EXPECT_FALSE(PathIsSafeName(nullptr));
  EXPECT_FALSE(PathIsSafeName(std::string(256, 'a').c_str()));
  EXPECT_TRUE(PathIsSafeName(std::string(255, 'a').c_str()));

  EXPECT_TRUE(PathIsSafeRelative("images/logo.png"));
  EXPECT_TRUE(PathIsSafeRelative("single"));
  for (const char* bad : {"", "/abs/x", "a/../b", "..", "a//b", "a/", "./a", "a\\..\\b"}) {
    EXPECT_FALSE(PathIsSafeRelative(bad)) << bad;
  }
}

TEST(Path, CreatesAndRemovesTreesWithoutFollowingLinks) {
  TestHome home;
  std::string outside = home.HomePath("outside");
  ASSERT_TRUE(WriteFile(outside + "/precious", "keep"));
  std::string tree = home.HomePath("tree/a/b");
  ASSERT_EQ(PathCreateDirectory(tree.c_str()), 1);
  ASSERT_EQ(PathCreateDirectory(tree.c_str()), 1);  // already there
  ASSERT_EQ(PathIsDirectory(tree.c_str()), 1);
  ASSERT_TRUE(WriteFile(tree + "/file", "x"));
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/link").c_str()), 0);

  TraceCapture cap(-1);
  EXPECT_EQ(PathCreateDirectory((tree + "/file/sub").c_str()), 0);
  EXPECT_EQ(PathRemoveDirectory(home.HomePath("tree").c_str(), false), 0);  // not empty
  EXPECT_EQ(PathRemoveDirectory((tree + "/link").c_str(), true), 0);        // a link itself
  ASSERT_EQ(PathRemoveDirectory(home.HomePath("tree").c_str(), true), 1);
  EXPECT_EQ(PathIsDirectory(home.HomePath("tree").c_str()), 0);
  EXPECT_EQ(FileExists((outside + "/precious").c_str()), 1);
}

struct Visit {
  std::vector<std::string> seen;
  std::string stop_at;
};

int Record(const char* rel, const DirEntry& e, void* cookie) {
  auto* v = static_cast<Visit*>(cookie);
  std::string path = *rel ? std::string(rel) + "/" + e.name : e.name;
  v->seen.push_back(path + (e.is_dir ? "/" : e.is_file ? "" : "@"));
  return path == v->stop_at ? 0 : 1;
}

// DirScanDirect passes the directory scanned itself.
int RecordFlat(const char* dir, const DirEntry& e, void* cookie) {
  auto* v = static_cast<Visit*>(cookie);
  v->seen.push_back(std::string(dir) + ":" + e.name);
  return e.name == v->stop_at ? 0 : 1;
}

TEST(Path, ScansAreSortedAndStayInsideTheTree) {
  TestHome home;
  std::string top = home.HomePath("out");
  ASSERT_TRUE(WriteFile(home.HomePath("elsewhere/secret"), "s"));
  ASSERT_TRUE(WriteFile(top + "/output.html", "h"));
  ASSERT_TRUE(WriteFile(top + "/images/b.png", "b"));
  ASSERT_TRUE(WriteFile(top + "/images/a.png", "a"));
  ASSERT_TRUE(kr_testing::MakeDirs(top + "/empty"));
  ASSERT_EQ(symlink(home.HomePath("elsewhere").c_str(), (top + "/escape").c_str()), 0);

  std::vector<DirEntry> entries;
  ASSERT_EQ(DirScan(&entries, top.c_str()), 1);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].name, "empty");
  EXPECT_TRUE(entries[0].is_dir);
  EXPECT_EQ(entries[1].name, "escape");
  EXPECT_FALSE(entries[1].is_dir || entries[1].is_file);
  EXPECT_EQ(entries[3].name, "output.html");
  EXPECT_TRUE(entries[3].is_file);

  Visit all;
  ASSERT_EQ(DirScanDirectRecursive(top.c_str(), Record, &all), 1);
  EXPECT_EQ(all.seen, (std::vector<std::string>{"empty/", "escape@", "images/", "images/a.png",
                                                "images/b.png", "output.html"}));
  Visit some;
  some.stop_at = "images/a.png";
  EXPECT_EQ(DirScanDirectRecursive(top.c_str(), Record, &some), 0);
  EXPECT_EQ(some.seen.back(), "images/a.png");
  Visit flat;
  flat.stop_at = "escape";
  EXPECT_EQ(DirScanDirect(top.c_str(), RecordFlat, &flat), 0);
  EXPECT_EQ(flat.seen, (std::vector<std::string>{top + ":empty", top + ":escape"}));

  TraceCapture cap(-1);
  EXPECT_EQ(DirScan(&entries, home.HomePath("nothing").c_str()), 0);
  EXPECT_EQ(DirScanDirectRecursive((top + "/output.html").c_str(), Record, &all), 0);
}

TEST(PathLock, ExcludesAnotherThread) {
  TestHome home;
  std::string dir = home.HomePath("produced");
  ASSERT_TRUE(kr_testing::MakeDirs(dir));
  std::unique_ptr<PathLockHandle> mine;
  ASSERT_EQ(PathLock(&mine, dir.c_str(), 0), 1);
  {
    TraceCapture cap(-1);
    EXPECT_EQ(PathLock(&mine, dir.c_str(), 0), 0);  // one handle, one lock
  }

  int first = -1, second = -1;
  std::atomic<bool> tried{false};
  std::thread t([&] {
    TestHome other;  // each thread its own context
    TraceCapture cap(-1);
    std::unique_ptr<PathLockHandle> theirs;
    first = PathLock(&theirs, dir.c_str(), 0);
    tried = true;
    second = PathLock(&theirs, dir.c_str(), 10);  // released by the main thread meanwhile
  });
  while (!tried) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(PathUnLock(&mine), 1);
  EXPECT_EQ(mine, nullptr);
  t.join();
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 1);
}

// Runs `child` in a forked process and gives its exit status.
template <typename F>
int InChild(F child) {
  pid_t pid = fork();
  if (pid == 0) _exit(child());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PathLock, ExcludesAnotherProcess) {
  TestHome home;
  std::string file = home.HomePath("lockfile");
  ASSERT_TRUE(WriteFile(file, ""));
  auto try_lock = [&](int wait) {
    return [&file, wait] {
      std::unique_ptr<PathLockHandle> h;
      return PathLock(&h, file.c_str(), wait) == 1 ? 0 : 1;
    };
  };
  {
    std::unique_ptr<PathLockHandle> held;
    ASSERT_EQ(PathLock(&held, file.c_str(), 0), 1);
    TraceCapture cap(-1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(InChild(try_lock(1)), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  }  // dropping the handle unlocks
  EXPECT_EQ(InChild(try_lock(0)), 0);

  TraceCapture cap(-1);
  std::unique_ptr<PathLockHandle> h;
  EXPECT_EQ(PathLock(&h, home.HomePath("missing").c_str(), 0), 0);
}

TEST(PathBuildUnderRoot, PeerComponentsStayUnderTheRoot) {
  TestHome home;
  const std::string root = home.HomePath("out");
  WriteFile(root + "/dir/file", "x");
  ASSERT_EQ(symlink("/tmp", (root + "/link").c_str()), 0);
  struct Case {
    std::vector<std::string> components;
    const char* want;  // null: refused
  } cases[] = {
      {{"dir"}, "/dir"},
      {{"dir", "new", "deeper"}, "/dir/new/deeper"},
      {{"dir", "file"}, "/dir/file"},
      {{"missing", "a"}, "/missing/a"},
      {{}, nullptr},
      {{".."}, nullptr},
      {{"dir", ".."}, nullptr},
      {{"."}, nullptr},
      {{""}, nullptr},
      {{"a/b"}, nullptr},
      {{"/etc"}, nullptr},
      {{std::string("a\0b", 3)}, nullptr},
      {{"link"}, nullptr},
      {{"link", "x"}, nullptr},
      {{"dir", "file", "x"}, nullptr},  // a file is not a directory
  };
  for (const Case& c : cases) {
    std::string out = "unchanged";
    int r = PathBuildUnderRoot(&out, root.c_str(), c.components);
    if (c.want == nullptr) {
      EXPECT_EQ(r, 0) << out;
      EXPECT_EQ(out, "unchanged");
    } else {
      EXPECT_EQ(r, 1);
      EXPECT_EQ(out, root + c.want);
    }
  }
}

}  // namespace
