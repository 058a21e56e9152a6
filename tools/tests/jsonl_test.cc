// The JSON Lines writer: records written and parsed back.

#include "jsonl.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "kr/list.h"
#include "reports/fields.h"
#include "reports/reports.h"
#include "reptesting.h"

namespace {

using nlohmann::json;

Ref<List> MakeFields() {
  return kr_testing::FieldList({{"jobid", kRepTypeInteger, 8},
                                {"client", kRepTypeString, 8},
                                {"size", kRepTypeDataCount, 8},
                                {"ok", kRepTypeBoolean, 8},
                                {"started", kRepTypeSysTime, 8},
                                {"expires", kRepTypeSysTime, 8},
                                {"quota", kRepTypeDataCount, 8},
                                {"took", kRepTypeTimePassed, 8},
                                {"day", kRepTypeDate, 8},
                                {"note", kRepTypeString, 8}});
}

TEST(JsonLines, TypesAndStatesParseBack) {
  Ref<List> fields = MakeFields();
  Ref<RepRecord> r = RepMakeBlankRecord(fields.get(), kRepStateNormal);
  ObjSetInteger(r->value_at(0)->value(), 42);
  ObjSetString(r->value_at(1)->value(), "Bravo \"quoted\"\n");
  ObjSetInt64(r->value_at(2)->value(), 5000000000ll);
  ObjSetBoolean(r->value_at(3)->value(), true);
  ObjSetInteger(r->value_at(4)->value(), 1796000000);  // 2026-11-30T00:53:20Z
  r->value_at(5)->set_state(kRepStateNever);
  r->value_at(6)->set_state(kRepStateUnlimited);
  ObjSetInteger(r->value_at(7)->value(), 5400);
  auto* day = ObjCast<RepDateValue>(r->value_at(8)->value());
  ASSERT_NE(day, nullptr);
  day->set_year(2026);
  day->set_month(2);
  day->set_day(9);
  r->value_at(9)->set_state(kRepStateUnknown);

  json j = json::parse(krreport::RecordToJson(r.get(), fields.get(), fields.get()));
  EXPECT_EQ(j["jobid"], 42);
  EXPECT_EQ(j["client"], "Bravo \"quoted\"\n");
  EXPECT_EQ(j["size"], 5000000000ll);
  EXPECT_EQ(j["ok"], true);
  EXPECT_EQ(j["started"], "2026-11-30T00:53:20Z");
  EXPECT_EQ(j["expires"], RepStateToText(kRepStateNever));
  EXPECT_EQ(j["quota"], RepStateToText(kRepStateUnlimited));
  EXPECT_EQ(j["took"], 5400);
  EXPECT_EQ(j["day"], "2026-02-09");
  EXPECT_TRUE(j["note"].is_null());
  // Keys in field order.
  EXPECT_EQ(
      nlohmann::ordered_json::parse(krreport::RecordToJson(r.get(), fields.get(), fields.get()))
          .begin()
          .key(),
      "jobid");
}

TEST(JsonLines, OneLinePerRecordKeyedByTheChosenFields) {
  Ref<List> fields = MakeFields();
  Ref<List> records = ListNewFromPool();
  for (int i = 0; i < 3; ++i) {
    Ref<RepRecord> r = RepMakeBlankRecord(fields.get(), kRepStateNormal);
    ObjSetInteger(r->value_at(0)->value(), i);
    ListAddLastItem(records.get(), r.get());
  }
  Ref<RepTable> table = RepNewTable("t", fields, records);
  // The chosen fields: client, then jobid, with jobid named twice (as a format may).
  Ref<List> chosen = ListNewFromPool();
  ListAddLastItem(chosen.get(), fields->at(1));
  ListAddLastItem(chosen.get(), fields->at(0));
  ListAddLastItem(chosen.get(), fields->at(0));

  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(krreport::WriteJsonLines(f, table.get(), chosen.get()), 1);
  std::rewind(f);
  char line[256];
  int n = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    json j = json::parse(line);
    ASSERT_EQ(j.size(), 2u) << line;
    EXPECT_EQ(j["jobid"], n);
    EXPECT_EQ(j["client"], "");
    ++n;
  }
  std::fclose(f);
  EXPECT_EQ(n, 3);
}

}  // namespace
