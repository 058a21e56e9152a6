#include "kr/stanza.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kr/path.h"
#include "testing.h"

namespace {

using kr_testing::ReadFile;
using kr_testing::TestHome;
using kr_testing::TraceCapture;
using kr_testing::WriteFile;

std::vector<std::string> Values(const Stanza* s, const char* key) {
  const StnzKey* k = StnzFindKey(s, key);
  return k != nullptr ? k->values : std::vector<std::string>{"<absent>"};
}

TEST(StanzaFile, ReadsSpacingQuotingCommentsAndSeveralValues) {
  StanzaList list;
  ASSERT_EQ(StnzLoadStanzaListFromText(&list,
                                       "\xEF\xBB\xBF# leading comment\r\n"
                                       "  ; another\n"
                                       "\n"
                                       "  [  Directories ]  \n"
                                       "Reports=/opt/kr/reports\n"
                                       "[field id]\n"
                                       "   nicename   =   \"Job ID\"   \n"
                                       "Serialized Records = TRUE\r\n"
                                       "values = one, \"two, with comma\" ,three,,\n"
                                       "empty =\n"
                                       "escapes = \"a\\\"b\\\\c\\nd\\te\\rf\\qg\"\n"
                                       "literal = a \"quoted\" word, C:\\temp\\x\n"
                                       "hash = #not a comment\n",
                                       "text"),
            1);
  ASSERT_EQ(list.stanzas.size(), 2u);
  const Stanza* dirs = list.stanzas[0].get();
  EXPECT_EQ(dirs->title, "Directories");
  EXPECT_EQ(Values(dirs, "reports"), std::vector<std::string>{"/opt/kr/reports"});

  const Stanza* f = list.stanzas[1].get();
  std::string kind, name;
  StnzSplitTitle(f->title.c_str(), &kind, &name);
  EXPECT_EQ(kind, "field");
  EXPECT_EQ(name, "id");
  EXPECT_EQ(Values(f, "nicename"), std::vector<std::string>{"Job ID"});
  EXPECT_EQ(Values(f, "SERIALIZED RECORDS"), std::vector<std::string>{"TRUE"});
  EXPECT_EQ(Values(f, "values"),
            (std::vector<std::string>{"one", "two, with comma", "three", "", ""}));
  EXPECT_EQ(Values(f, "empty"), std::vector<std::string>{""});
  EXPECT_EQ(Values(f, "escapes"), std::vector<std::string>{"a\"b\\c\nd\te\rf\\qg"});
  EXPECT_EQ(Values(f, "literal"), (std::vector<std::string>{"a \"quoted\" word", "C:\\temp\\x"}));
  EXPECT_EQ(Values(f, "hash"), std::vector<std::string>{"#not a comment"});
}

TEST(StanzaFile, AnyValueSurvivesSaveAndLoadByteForByte) {
  TestHome home;
  const std::vector<std::string> awkward = {
      "",          "  leading", "trailing\t",  "a,b",       "\"quoted\"",  "back\\slash",
      "#hash",     ";semi",     "line\nfeed",  "cr\r",      "ctl\x01\x7f", std::string("nul\0x", 5),
      "[bracket]", "k = v",     "caf\xC3\xA9", "plain text"};
  StanzaList list;
  auto s = StnzCreate("field Serialized Records", 4);
  auto key = StnzCreateKey("Odd  Key Name");
  for (const auto& v : awkward) ASSERT_EQ(StnzAddValueToKey(key.get(), v.c_str()), 1);
  key->values[11] = awkward[11];  // the embedded null does not pass through a C string
  ASSERT_EQ(StnzAddKeyToStanza(s.get(), std::move(key)), 1);
  ASSERT_EQ(StnzSetString(s.get(), "single", " x "), 1);
  ASSERT_EQ(StnzListReplaceStanza(&list, std::move(s)), 1);
  ASSERT_EQ(StnzListReplaceStanza(&list, StnzCreate("[odd] title", 0)), 1);

  std::string path = home.HomePath("round.cfg");
  ASSERT_EQ(StnzSaveStanzaListToFile(list, path.c_str()), 1);
  StanzaList back;
  ASSERT_EQ(StnzLoadStanzaListFromFile(&back, path.c_str()), 1);
  ASSERT_EQ(back.stanzas.size(), 2u);
  EXPECT_EQ(back.stanzas[0]->title, "field Serialized Records");
  EXPECT_EQ(back.stanzas[1]->title, "[odd] title");
  EXPECT_EQ(Values(back.stanzas[0].get(), "odd  key name"), awkward);
  EXPECT_EQ(Values(back.stanzas[0].get(), "single"), std::vector<std::string>{" x "});

  // A second save writes the same bytes: the written form is stable.
  std::string again = home.HomePath("again.cfg");
  ASSERT_EQ(StnzSaveStanzaListToFile(back, again.c_str()), 1);
  EXPECT_EQ(ReadFile(path), ReadFile(again));
}

TEST(StanzaFile, MalformedLinesFailWithFileAndLine) {
  TestHome home;
  struct Case {
    const char* text;
    int line;
    const char* why;
  };
  const Case cases[] = {
      {"[a]\nk = v\nno equals sign\n", 3, "no '='"},
      {"[a]\n\nk = \"open\n", 3, "unterminated"},
      {"[a]\nk = \"x\" y\n", 2, "after a closing quote"},
      {"# c\nk = v\n[a]\n", 2, "before the first title"},
      {"[a]\nk = v\n[b\n", 3, "without ']'"},
      {"[a] trailing\n", 1, "after the title"},
      {"[a]\n = v\n", 2, "no key name"},
  };
  for (const Case& c : cases) {
    std::string path = home.HomePath("bad.cfg");
    ASSERT_TRUE(WriteFile(path, c.text));
    TraceCapture cap(-1);
    StanzaList list;
    list.stanzas.push_back(StnzCreate("kept", 0));
    EXPECT_EQ(StnzLoadStanzaListFromFile(&list, path.c_str()), 0) << c.text;
    EXPECT_TRUE(cap.Contains(path + "', line " + std::to_string(c.line) + ": ")) << cap.Dump();
    EXPECT_TRUE(cap.Contains(c.why)) << cap.Dump();
    ASSERT_EQ(list.stanzas.size(), 1u);  // a failed load leaves the list alone
  }
  TraceCapture cap(-1);
  StanzaList list;
  EXPECT_EQ(StnzLoadStanzaListFromFile(&list, home.HomePath("missing.cfg").c_str()), 0);
  std::string huge(static_cast<size_t>(kStnzFileMaxSize) + 1, '\n');
  EXPECT_EQ(StnzLoadStanzaListFromText(&list, huge, "huge"), 0);
}

TEST(StanzaFile, LookupsAreCaseBlindAndTheFirstWins) {
  StanzaList list;
  ASSERT_EQ(StnzLoadStanzaListFromText(&list,
                                       "[Reports]\nKey = first\nkey = second\n"
                                       "[reports]\nkey = other stanza\n",
                                       "t"),
            1);
  ASSERT_EQ(list.stanzas.size(), 2u);  // both are kept
  const Stanza* s = StnzListFind(list, "REPORTS");
  ASSERT_EQ(s, list.stanzas[0].get());
  std::string v;
  ASSERT_EQ(StnzGetString(&v, s, "KEY", 0), 1);
  EXPECT_EQ(v, "first");
  EXPECT_EQ(StnzGetString(&v, s, "key", 1), 0);
  EXPECT_EQ(StnzGetString(&v, s, "nokey", 0), 0);
  EXPECT_EQ(StnzListFind(list, "Report"), nullptr);

  // Replacing puts the new stanza where the first one was; the shadowed one stays.
  auto repl = StnzCreate("REPORTS", 1);
  StnzSetString(repl.get(), "key", "new");
  ASSERT_EQ(StnzListReplaceStanza(&list, std::move(repl)), 1);
  ASSERT_EQ(list.stanzas.size(), 2u);
  ASSERT_EQ(StnzGetString(&v, StnzListFind(list, "reports"), "key", 0), 1);
  EXPECT_EQ(v, "new");
  EXPECT_EQ(StnzListRemoveStanza(&list, "Reports"), 1);
  EXPECT_TRUE(list.stanzas.empty());

  // Building: a key added again replaces the earlier one of that name.
  auto b = StnzCreate("b", 0);
  StnzSetString(b.get(), "Process", "one");
  StnzSetString(b.get(), "process", "two");
  ASSERT_EQ(b->keys.size(), 1u);
  EXPECT_EQ(b->keys[0].values, std::vector<std::string>{"two"});
  auto copy = StnzDuplicate(*b);
  StnzSetString(b.get(), "process", "three");
  EXPECT_EQ(copy->keys[0].values, std::vector<std::string>{"two"});
}

TEST(StanzaFile, IntegerAndBooleanConversions) {
  StanzaList list;
  ASSERT_EQ(StnzLoadStanzaListFromText(
                &list,
                "[s]\n"
                "ints = 42, -7, +3, 2147483647, -2147483648, 2147483648, 12x, \" 5\", , -\n"
                "bools = TRUE, no, On, 0, yes please, 2\n",
                "t"),
            1);
  const Stanza* s = list.stanzas[0].get();
  int32_t n = 99;
  const int64_t want[] = {42, -7, 3, 2147483647, -2147483648LL};
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(StnzGetInteger(&n, s, "ints", i), 1) << i;
    EXPECT_EQ(n, want[i]);
  }
  for (int i = 5; i < 11; ++i) EXPECT_EQ(StnzGetInteger(&n, s, "ints", i), 0) << i;
  EXPECT_EQ(StnzGetInteger(&n, s, "ints", -1), 0);
  bool b = false;
  const bool want_b[] = {true, false, true, false};
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(StnzGetBoolean(&b, s, "bools", i), 1) << i;
    EXPECT_EQ(b, want_b[i]);
  }
  EXPECT_EQ(StnzGetBoolean(&b, s, "bools", 4), 0);
  EXPECT_EQ(StnzGetBoolean(&b, s, "bools", 5), 0);
  EXPECT_EQ(StnzGetValueCount(s, "BOOLS"), 6);
}

TEST(StanzaFile, ReaderWalksByKindRewindsAndChecksOnlyWhatItLoads) {
  TestHome home;
  std::string path = home.HomePath("jobsfields");
  ASSERT_TRUE(WriteFile(path,
                        "[field id]\nnicename = Job ID\n"
                        "[borrow clients]\nprepend = client_\n"
                        "[other junk]\nthis line is broken\n"
                        "[FIELD  size  in  bytes]\nnicename = Size\n"));
  std::unique_ptr<StnzFile> f;
  ASSERT_EQ(StnzFileOpen(&f, path.c_str()), 1);
  std::unique_ptr<Stanza> s;
  {
    TraceCapture cap(-1);
    EXPECT_EQ(StnzFileLoad(f.get(), &s), 0);  // nothing found yet
  }
  std::vector<std::string> fields;
  std::string kind, name;
  while (StnzFileFindNext(f.get(), &kind, &name)) {
    if (kind != "field" && kind != "FIELD") continue;
    ASSERT_EQ(StnzFileLoad(f.get(), &s), 1);
    std::string nice;
    ASSERT_EQ(StnzGetString(&nice, s.get(), "nicename", 0), 1);
    fields.push_back(name + "=" + nice);
  }
  EXPECT_EQ(fields, (std::vector<std::string>{"id=Job ID", "size  in  bytes=Size"}));

  StnzFileRewind(f.get());
  std::vector<std::string> kinds;
  while (StnzFileFindNext(f.get(), &kind, nullptr)) {
    kinds.push_back(kind);
    if (kind == "other") {
      TraceCapture cap(-1);
      EXPECT_EQ(StnzFileLoad(f.get(), &s), 0);
      EXPECT_TRUE(cap.Contains("line 6")) << cap.Dump();
    }
  }
  EXPECT_EQ(kinds, (std::vector<std::string>{"field", "borrow", "other", "FIELD"}));

  TraceCapture cap(-1);
  EXPECT_EQ(StnzFileOpen(&f, home.HomePath("absent").c_str()), 0);
}

TEST(StanzaFile, SaveFailuresLeaveTheOldFile) {
  TestHome home;
  std::string path = home.HomePath("keep.cfg");
  ASSERT_TRUE(WriteFile(path, "[old]\nk = v\n"));
  TraceCapture cap(-1);
  StanzaList list;
  auto s = StnzCreate("t", 0);
  StnzSetString(s.get(), "bad=key", "v");
  list.stanzas.push_back(std::move(s));
  EXPECT_EQ(StnzSaveStanzaListToFile(list, path.c_str()), 0);
  list.stanzas[0] = StnzCreate("line\nfeed", 0);
  EXPECT_EQ(StnzSaveStanzaListToFile(list, path.c_str()), 0);
  EXPECT_EQ(ReadFile(path), "[old]\nk = v\n");
  list.stanzas[0] = StnzCreate("fine", 0);
  EXPECT_EQ(StnzSaveStanzaListToFile(list, home.HomePath("no/such/dir.cfg").c_str()), 0);
}

}  // namespace
