// The JSON reader that --history reads the run history with: what it takes, and what it refuses.
#include "json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(JsonTest, TakesDocumentsAndRefusesEverythingElse)
{
    jsonValue value;
    ASSERT_TRUE(parseJson(R"( {"a": [1, -2.5e1, true, null], "b": "x\"\\\/\u00e9\ud83d\ude00\n", "a": 3} )", value));
    ASSERT_EQ(value.kind, jsonValue::OBJECT);
    const jsonValue *a = member(value, "a");
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->items.size(), 4u);
    EXPECT_EQ(a->items[1].number, -25);
    EXPECT_TRUE(a->items[2].truth);
    EXPECT_EQ(a->items[3].kind, jsonValue::NUL);
    EXPECT_EQ(member(value, "b")->text, "x\"\\/\xc3\xa9\xf0\x9f\x98\x80\n");
    EXPECT_EQ(member(value, "missing"), nullptr);
    EXPECT_EQ(member(a->items[0], "a"), nullptr) << "a number has no members";

    const std::vector<std::string> refused = {
        "", "{", "{\"a\" 1}", "{\"a\": 1,}", "[1 2]", "01", "1.", "-", "+1", ".5", "1e", "tru", "nul",
        "\"unended", "\"\t\"", "\"\\x\"", "\"\\u12\"", "\"\\ud83d\"", "\"\\ude00\"", "{} {}", "[1] x",
        std::string(65, '[') + std::string(65, ']'),
    };
    for (const std::string &text : refused) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(parseJson(text, value));
    }
    EXPECT_TRUE(parseJson(std::string(64, '[') + std::string(64, ']'), value));
}

}  // namespace
