// Client query texts that need no server: the parameter description, the
// output parameter type names, statement splitting and parameter parsing.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "middleware/client/client_query_params.h"
#include "middleware/wire/mw_exception.h"

namespace tallyvox::mw {
namespace {

TEST(QueryParamDescriptionTest, EmptyParamsIsStar) {
  EXPECT_EQ(MwParamDescription(TParams(), mwscFixed), "*");
}

TEST(QueryParamDescriptionTest, QuotesAndDoublesInnerQuotes) {
  TParams params;
  params.Add({"p", ftString, ptInput, Variant("O\"Brien")});
  EXPECT_EQ(MwParamDescription(params, mwscFixed), "\"p,1,1=O\"\"Brien\"");
}

TEST(QueryParamDescriptionTest, EntriesJoinedBySemicolonNullsWithoutValue) {
  TParams params;
  params.Add({"id", ftInteger, ptInput, Variant(42)});
  params.Add({"n", ftString, ptOutput, Variant::Null()});
  params.Add({"e", ftString, ptInputOutput, Variant()});
  params.Add({"flag", ftBoolean, ptInput, Variant(true)});
  params.Add({"x", ftFloat, ptInput, Variant(0.5)});
  params.Add({"w", ftWideString, ptInput, Variant::WideString("Gr\xC3\xBC\xC3\x9F")});
  params.Add({"m", ftCurrency, ptInput, Variant::Currency(12.5)});
  EXPECT_EQ(MwParamDescription(params, mwscFixed),
            "\"id,1,3=42\";\"n,2,1\";\"e,3,1\";\"flag,1,5=True\";\"x,1,6=0.5\";"
            "\"w,1,24=Gr\xC3\xBC\xC3\x9F\";\"m,1,7=12.5\"");
}

TEST(QueryParamDescriptionTest, DateTimeFollowsStringConversion) {
  TParams params;
  // 2025-06-24 13:05:09.007
  params.Add({"d", ftDateTime, ptInput,
              Variant::DateTime(EncodeDate(2025, 6, 24) + EncodeTime(13, 5, 9, 7))});
  EXPECT_EQ(MwParamDescription(params, mwscFixed), "\"d,1,11=20250624130509007\"");
  TMwFormatSettings settings;
  settings.decimal_separator = ',';
  settings.date_separator = '.';
  EXPECT_EQ(MwParamDescription(params, mwscLocale, settings), "\"d,1,11=2025.06.24 13:05:09,007\"");
}

// A date-time outside years 1..9999 (or not a number) has no text form in
// either conversion: it is refused, never formatted from garbage.
TEST(QueryParamDescriptionTest, DateTimeOutOfRangeIsRefused) {
  for (double bad : {std::nan(""), 1e300, -1e7}) {
    TParams params;
    params.Add({"d", ftDateTime, ptInput, Variant::DateTime(bad)});
    for (TMwStringConversion conversion : {mwscFixed, mwscLocale}) {
      EXPECT_THROW(MwParamDescription(params, conversion), EConvertError) << bad;
    }
  }
}

TEST(QueryParamDescriptionTest, UnsupportedVariantTypeRaises) {
  TParams params;
  params.Add({"a", ftArray, ptInput, Variant::Array(varVariant, 0, {Variant(1)})});
  try {
    MwParamDescription(params, mwscFixed);
    FAIL() << "no exception";
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), 0x00E00001);
    EXPECT_EQ(std::string(e.what()), "Unsupported variant conversion. VarType=8204");
  }
}

TEST(QueryParamTypeNameTest, DataTypeNamesIgnoreCase) {
  EXPECT_EQ(MwParamDataTypeFromName("integer"), ftInteger);
  EXPECT_EQ(MwParamDataTypeFromName("STRING"), ftString);
  EXPECT_EQ(MwParamDataTypeFromName("FMTBcdField"), ftFMTBcdField);
  EXPECT_EQ(MwParamDataTypeFromName("dbaseole"), ftDBaseOle);
}

TEST(QueryParamTypeNameTest, UnknownDataTypeNamesRaise) {
  for (const char* name : {"Money", "Unknown", ""}) {
    try {
      MwParamDataTypeFromName(name);
      FAIL() << name;
    } catch (const EMwException& e) {
      EXPECT_EQ(e.ErrorCode(), 0x00F20201);
      std::string upper = name == std::string("Money")     ? "MONEY"
                          : name == std::string("Unknown") ? "UNKNOWN"
                                                           : "";
      EXPECT_EQ(std::string(e.what()),
                "Unknown parameter datatype (" + upper + ") send from server.");
    }
  }
}

TEST(QueryParamTypeNameTest, ParamTypeNames) {
  EXPECT_EQ(MwParamTypeFromName("input"), ptInput);
  EXPECT_EQ(MwParamTypeFromName("Output"), ptOutput);
  EXPECT_EQ(MwParamTypeFromName("INPUTOUTPUT"), ptInputOutput);
  EXPECT_EQ(MwParamTypeFromName("Result"), ptResult);
  EXPECT_EQ(MwParamTypeFromName("sideways"), ptUnknown);
}

TEST(QueryStatementSplitTest, BangStartsANewStatementThatReturnsNoRows) {
  auto statements = MwSplitStatements({"update t set a = 1", "where b = 2", "!delete from t"});
  ASSERT_EQ(statements.size(), 2u);
  EXPECT_EQ(statements[0].lines, (std::vector<std::string>{"update t set a = 1", "where b = 2"}));
  EXPECT_TRUE(statements[0].returns_rows);
  EXPECT_EQ(statements[1].lines, (std::vector<std::string>{"delete from t"}));
  EXPECT_FALSE(statements[1].returns_rows);
  EXPECT_EQ(MwStatementText(statements[0].lines), "update t set a = 1\r\nwhere b = 2");
}

TEST(QueryStatementSplitTest, MarkOnFirstLineEmptyLinesAndEquals) {
  auto statements =
      MwSplitStatements({"", "!insert into t", "values (1)", "", "=select 1", "=select 2"});
  ASSERT_EQ(statements.size(), 3u);
  EXPECT_EQ(statements[0].lines, (std::vector<std::string>{"insert into t", "values (1)"}));
  EXPECT_FALSE(statements[0].returns_rows);
  EXPECT_EQ(statements[1].lines, (std::vector<std::string>{"select 1"}));
  EXPECT_TRUE(statements[1].returns_rows);
  EXPECT_EQ(statements[2].lines, (std::vector<std::string>{"select 2"}));
  EXPECT_TRUE(MwSplitStatements({"", ""}).empty());
}

TEST(QueryStatementTextTest, TrimsAndUsesStarForNothing) {
  EXPECT_EQ(MwStatementText({}), "*");
  EXPECT_EQ(MwStatementText({"", "  \t"}), "*");
  EXPECT_EQ(MwStatementText({"  select * from ufile7  "}), "select * from ufile7");
}

TEST(QueryParamParseTest, ColonNamesOutsideQuotes) {
  EXPECT_EQ(MwParseParamNames("select * from t where a = :a and b=:b;"),
            (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(MwParseParamNames("select ':no', \":nope\" from t where x in (:x,:y)"),
            (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(MwParseParamNames("select a::int, 'it''s :q' from t where c=:c\r\n"),
            (std::vector<std::string>{"c"}));
}

}  // namespace
}  // namespace tallyvox::mw
