#include "kr/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kr/path.h"
#include "testing.h"

namespace {

using kr_testing::ReadFile;
using kr_testing::TestHome;
using kr_testing::TraceCapture;
using kr_testing::WriteFile;

TEST(FileSys, AWriteToAFullDeviceFailsAtTheWrite) {
  TestHome home;
  TraceCapture cap(-1);
  std::unique_ptr<FileSysFile> f;
  ASSERT_EQ(FileSysFOpen(&f, "/dev/full", kFileSysModeAppend), 1);
  EXPECT_EQ(FileSysFPutString(f.get(), "header text\n"), 0);
  std::vector<char> block(100000, 'x');
  EXPECT_EQ(FileSysFWrite(f.get(), block.data(), block.size()), 0);
  EXPECT_TRUE(cap.Contains("/dev/full")) << cap.Dump();
  FileSysFClose(&f);
  EXPECT_EQ(f, nullptr);
}

TEST(FileSys, WriteReplacesAndAppendCreatesThenAppends) {
  TestHome home;
  std::string path = home.HomePath("output.txt");
  std::unique_ptr<FileSysFile> f;
  ASSERT_EQ(FileSysFOpen(&f, path.c_str(), kFileSysModeAppend), 1);
  ASSERT_EQ(FileSysFPutString(f.get(), "head\n"), 1);
  ASSERT_EQ(FileSysFClose(&f), 1);
  ASSERT_EQ(FileSysFOpen(&f, path.c_str(), kFileSysModeAppend), 1);
  ASSERT_EQ(FileSysFWrite(f.get(), "bo\0dy", 5), 1);
  ASSERT_EQ(FileSysFClose(&f), 1);
  EXPECT_EQ(ReadFile(path), std::string("head\nbo\0dy", 10));

  ASSERT_EQ(FileSysFOpen(&f, path.c_str(), kFileSysModeWrite), 1);
  ASSERT_EQ(FileSysFPutString(f.get(), "new"), 1);
  f.reset();  // dropping closes
  EXPECT_EQ(ReadFile(path), "new");

  TraceCapture cap(-1);
  EXPECT_EQ(FileSysFOpen(&f, path.c_str(), 257), 0);
  EXPECT_EQ(FileSysFOpen(&f, home.home().c_str(), kFileSysModeWrite), 0);
  ASSERT_EQ(mkfifo(home.HomePath("fifo").c_str(), 0600), 0);
  EXPECT_EQ(FileSysFOpen(&f, home.HomePath("fifo").c_str(), kFileSysModeWrite), 0);  // no hang
}

TEST(File, AtomicWritesAndCopiesReplaceWholeOrNotAtAll) {
  TestHome home;
  std::string path = home.HomePath("reptables.cfg");
  ASSERT_TRUE(WriteFile(path, "old"));
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  ASSERT_EQ(FileWriteAtomic(path.c_str(), "new contents", 12), 1);
  EXPECT_EQ(ReadFile(path), "new contents");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // kept

  std::string binary("a\0b\xff", 4);
  ASSERT_TRUE(WriteFile(home.HomePath("img/logo.png"), binary));
  ASSERT_EQ(FileCopy(home.HomePath("img/logo.png").c_str(), path.c_str()), 1);
  EXPECT_EQ(ReadFile(path), binary);
  int64_t size = 0;
  ASSERT_EQ(FileSize(&size, path.c_str()), 1);
  EXPECT_EQ(size, 4);

  TraceCapture cap(-1);
  EXPECT_EQ(FileCopy(home.HomePath("missing").c_str(), path.c_str()), 0);
  EXPECT_EQ(FileCopy(home.HomePath("img").c_str(), path.c_str()), 0);  // a directory
  EXPECT_EQ(ReadFile(path), binary);
  EXPECT_EQ(FileWriteAtomic(home.HomePath("no/dir/f").c_str(), "x", 1), 0);
  EXPECT_EQ(FileSize(&size, home.HomePath("img").c_str()), 0);

  std::vector<DirEntry> entries;
  ASSERT_EQ(DirScan(&entries, home.home().c_str()), 1);
  for (const auto& e : entries) EXPECT_EQ(e.name.find(".tmp"), std::string::npos) << e.name;

  ASSERT_EQ(FileDelete(path.c_str()), 1);
  EXPECT_EQ(FileExists(path.c_str()), 0);
  EXPECT_EQ(FileDelete(path.c_str()), 0);
  EXPECT_EQ(FileDelete(home.HomePath("img").c_str()), 0);
}

TEST(File, LoadTextFileReadsOnlyRegularFiles) {
  TestHome home;
  std::string text;
  std::string path = home.HomePath("configure.cfg");
  ASSERT_TRUE(WriteFile(path, std::string("line\r\n\0tail", 11)));
  ASSERT_EQ(LoadTextFile(&text, path.c_str()), 1);
  EXPECT_EQ(text, std::string("line\r\n\0tail", 11));
  ASSERT_EQ(mkfifo(home.HomePath("fifo").c_str(), 0600), 0);
  EXPECT_EQ(LoadTextFile(&text, home.HomePath("fifo").c_str()), 0);  // refused, not waited on
  EXPECT_EQ(LoadTextFile(&text, home.home().c_str()), 0);
  EXPECT_EQ(LoadTextFile(&text, home.HomePath("missing").c_str()), 0);
}

TEST(FileStream, ReadsLinesAndBlocks) {
  TestHome home;
  std::string path = home.HomePath("stream");
  std::string big(100000, 'b');  // longer than the stream's buffer
  ASSERT_TRUE(WriteFile(path, "first\r\n\n" + big + "\nlast"));
  std::unique_ptr<FileStream> s;
  ASSERT_EQ(FileStreamOpen(&s, path.c_str()), 1);
  std::string line;
  ASSERT_EQ(FileStreamReadLine(s.get(), &line), 1);
  EXPECT_EQ(line, "first\r");
  ASSERT_EQ(FileStreamReadLine(s.get(), &line), 1);
  EXPECT_EQ(line, "");
  ASSERT_EQ(FileStreamReadLine(s.get(), &line), 1);
  EXPECT_EQ(line, big);
  char buf[3];
  size_t got = 0;
  ASSERT_EQ(FileStreamRead(s.get(), buf, sizeof buf, &got), 1);
  EXPECT_EQ(std::string(buf, got), "las");
  ASSERT_EQ(FileStreamReadLine(s.get(), &line), 1);
  EXPECT_EQ(line, "t");
  EXPECT_EQ(FileStreamReadLine(s.get(), &line), 0);
  ASSERT_EQ(FileStreamRead(s.get(), buf, sizeof buf, &got), 1);
  EXPECT_EQ(got, 0u);
  FileStreamClose(&s);
  EXPECT_EQ(s, nullptr);
}

}  // namespace
