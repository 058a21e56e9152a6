#include "reports/calculate.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "output_test_util.h"
#include "reports/format.h"
#include "testing.h"

using kr_testing::TraceCapture;
using namespace rep_test;

namespace {

// A table of the fields and records given, with its summary field list.
struct Summed {
  Ref<RepTable> table;
  Ref<List> summary;
  Ref<RepRecord> sum, average;

  Summed(Ref<List> fields, Ref<List> records, int want_sum = 1, int want_average = 1) {
    table = RepNewTable("t", fields, records);
    EXPECT_EQ(RepMakeSummaryFields(&summary, fields.get()), 1);
    EXPECT_EQ(RepCalculate(table.get(), summary.get(), want_sum, want_average, &sum, &average), 1);
  }
};

const RepFieldValue* At(const Ref<RepRecord>& r, size_t i) { return r->value_at(i); }

}  // namespace

TEST(Calculate, SummaryFieldsWidenIntegersInACopy) {
  TraceCapture trace;
  Ref<RepFieldDef> n = Field("n", kRepTypeInteger, 5);
  n->set_width_in_use(9);
  Ref<List> fields = Fields({n, Field("s", kRepTypeString, 5), Field("t", kRepTypeTimePassed, 8)});
  Ref<List> summary;
  ASSERT_EQ(RepMakeSummaryFields(&summary, fields.get()), 1);
  ASSERT_EQ(summary->size(), 3u);
  const RepFieldDef* widened = ObjCast<RepFieldDef>(summary->at(0));
  EXPECT_NE(widened, n.get());
  EXPECT_EQ(widened->type(), kRepTypeInt64);
  EXPECT_EQ(widened->width_in_use(), 9);
  EXPECT_EQ(n->type(), kRepTypeInteger);  // the original is untouched
  EXPECT_EQ(ObjCast<RepFieldDef>(summary->at(2))->type(), kRepTypeTimePassed);
  EXPECT_TRUE(trace.Contains("Promoting field 'n' to int64", 2));

  Ref<List> untouched;
  EXPECT_EQ(RepMakeSummaryFields(&untouched, nullptr), 0);
  EXPECT_FALSE(untouched);
  EXPECT_TRUE(trace.Contains("Failed to copy field list", -1));
}

TEST(Calculate, TotalsAndAveragesOfKnownValues) {
  Ref<List> fields = Fields({Field("big", kRepTypeInt64, 5), Field("n", kRepTypeInteger, 12),
                             Field("t", kRepTypeTimePassed, 8), Field("neg", kRepTypeInteger, 4),
                             Field("s", kRepTypeString, 4), Field("u", kRepTypeDataCount, 6)});
  Ref<List> records = Records({
      Record({I64(10), Int(INT_MAX), Int(3600), Int(-3), Str("a"), InState(kRepStateUnknown)}),
      Record({I64(20), Int(1), Int(5400), Int(-4), Str("b"), InState(kRepStateNA)}),
      Record({InState(kRepStateUnknown), InState(kRepStateNever), InState(kRepStateUnknown),
              InState(kRepStateUnknown), Str("c"), InState(kRepStateUnknown)}),
  });
  Summed s(fields, records);
  ASSERT_TRUE(s.sum);
  ASSERT_TRUE(s.average);

  EXPECT_EQ(At(s.sum, 0)->state(), kRepStateNormal);
  EXPECT_EQ(ObjGetInt64(At(s.sum, 0)->value()), 30);
  EXPECT_EQ(ObjGetInt64(At(s.average, 0)->value()), 15);        // two known values, not three
  EXPECT_EQ(ObjGetInt64(At(s.sum, 1)->value()), 2147483648LL);  // widened, no wrap
  EXPECT_EQ(ObjGetInt64(At(s.average, 1)->value()), 1073741824LL);
  EXPECT_EQ(ObjGetInteger(At(s.sum, 2)->value()), 9000);
  EXPECT_EQ(ObjGetInteger(At(s.average, 2)->value()), 4500);
  EXPECT_EQ(ObjGetInt64(At(s.sum, 3)->value()), -7);
  EXPECT_EQ(ObjGetInt64(At(s.average, 3)->value()), -3);  // -3.5 truncates toward zero
  for (size_t column : {4u, 5u}) {                        // text, and a column with no known value
    EXPECT_EQ(At(s.sum, column)->state(), kRepStateNA) << column;
    EXPECT_EQ(At(s.average, column)->state(), kRepStateNA) << column;
  }

  // As rows: the duration prints as one, N/A columns are hyphens at fixed width.
  DString out, scratch;
  const RepFieldDef* t = ObjCast<RepFieldDef>(s.summary->at(2));
  RepFieldToTextDS(&out, &scratch, t, At(s.average, 2), 0);
  RepFieldToTextDS(&out, &scratch, ObjCast<RepFieldDef>(s.summary->at(4)), At(s.sum, 4), 0);
  EXPECT_EQ(out.text, "01:15:00----");
}

TEST(Calculate, OnlyTheRowsAskedFor) {
  Ref<List> fields = Fields({Field("n", kRepTypeInteger, 5)});
  Summed only_sum(fields, Records({Record({Int(4)})}), 1, 0);
  EXPECT_TRUE(only_sum.sum);
  EXPECT_FALSE(only_sum.average);

  TraceCapture trace;
  Summed neither(fields, Records({Record({Int(4)})}), 0, 0);
  EXPECT_FALSE(neither.sum);
  EXPECT_FALSE(neither.average);
  EXPECT_TRUE(trace.Contains("No SUM or AVERAGE required", 2));

  Summed empty(fields, Records({}));
  EXPECT_FALSE(empty.sum);
  EXPECT_FALSE(empty.average);
  EXPECT_TRUE(trace.Contains("No records to process!", 2));
  Summed no_list(fields, nullptr);
  EXPECT_FALSE(no_list.sum);

  // A row whose out-parameter is missing is simply not handed back.
  Ref<RepTable> table = RepNewTable("t", fields, Records({Record({Int(4)})}));
  Ref<RepRecord> average;
  EXPECT_EQ(RepCalculate(table.get(), fields.get(), 1, 1, nullptr, &average), 1);
  EXPECT_TRUE(average);
}

TEST(Calculate, RecordsOfOtherLengths) {
  Ref<List> fields = Fields({Field("a", kRepTypeInteger, 5), Field("b", kRepTypeInteger, 5)});
  Summed s(fields, Records({Record({Int(1), Int(2)}), Record({Int(5)}),
                            Record({Int(1), Int(2), Int(100)})}));
  ASSERT_TRUE(s.sum);
  EXPECT_EQ(ObjGetInt64(At(s.sum, 0)->value()), 7);
  EXPECT_EQ(ObjGetInt64(At(s.sum, 1)->value()), 4);
  EXPECT_EQ(ObjGetInt64(At(s.average, 1)->value()), 2);
}
