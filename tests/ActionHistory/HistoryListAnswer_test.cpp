// The list answer read entry by entry must find exactly what reading the
// whole answer as one tree finds: the same entries in the same order, the same
// refresh interval, and the same refusals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ActionHistory/ActionHistoryListAnswer.h"
#include "Base/ValueCodec.h"

namespace sorvel {
namespace {

struct Reading {
    bool accepted = false;
    std::optional<std::int64_t> minutes;
    std::vector<Value> entries;
};

// What the whole-tree reader makes of the text.
Reading asOneTree(std::string_view text) {
    Reading r;
    auto v = Value::fromJson(text);
    if (!v || !v->isMap()) {
        return r;
    }
    const Value::Map& top = *v->getMap();
    auto h = top.find("histories");
    if (h == top.end() || !h->second.isArray()) {
        return r;
    }
    for (const auto& e : *h->second.getArray()) {
        if (!e.isMap()) {
            return r;
        }
    }
    r.accepted = true;
    r.entries = *h->second.getArray();
    if (auto m = top.find("minutes_to_refresh"); m != top.end() && m->second.isInt64()) {
        r.minutes = *m->second.getInt64();
    }
    return r;
}

Reading entryByEntry(std::string_view text) {
    Reading r;
    const auto answer = HistoryListAnswer::check(text);
    if (!answer) {
        return r;
    }
    r.accepted = true;
    r.minutes = answer->minutesToRefresh;
    HistoryListAnswer::forEachEntry(text, [&](const Value::Map& e) { r.entries.emplace_back(e); });
    EXPECT_EQ(answer->entries, r.entries.size()) << text;
    return r;
}

void expectSameReading(const std::string& text) {
    const Reading tree = asOneTree(text);
    const Reading streamed = entryByEntry(text);
    EXPECT_EQ(streamed.accepted, tree.accepted) << text;
    EXPECT_EQ(streamed.minutes, tree.minutes) << text;
    EXPECT_EQ(streamed.entries, tree.entries) << text;
}

TEST(HistoryListAnswerTest, EntriesAndRefreshAreThoseOfTheWholeTree) {
    const std::vector<std::string> accepted = {
        R"({"minutes_to_refresh":15,"histories":[{"id":"a","n":1},{"id":"b","n":2}]})",
        R"({"histories":[]})",
        // Blanks everywhere, a byte-order mark, members after the list.
        "\xEF\xBB\xBF \r\n\t{ \"histories\" :\n [ { \"id\" : \"a\" } ,\t{ } ] , \"x\" : [ 1 ] }\n",
        // Strings that hold brackets, braces, commas, quotes and backslashes.
        R"({"histories":[{"id":"a]},{\"[","t":"\\"},{"id":"\\\"}"},{"k\"}":[{"x":"]"}]}]})",
        // A key written with an escape is the same key.
        R"({"histor\u0069es":[{"id":"escaped"}],"minutes_to_refresh":5})",
        // A key given twice: the last value counts.
        R"({"histories":[{"id":"first"}],"histories":[{"id":"second"},{"id":"third"}]})",
        R"({"histories":[1,2],"histories":[{"id":"last"}]})",
        R"({"minutes_to_refresh":5,"minutes_to_refresh":"soon","histories":[]})",
        R"({"minutes_to_refresh":"soon","minutes_to_refresh":7,"histories":[]})",
        // Numbers of every kind inside an entry, and nested values.
        R"({"histories":[{"i":-9223372036854775808,"u":18446744073709551615,"d":1.5e300,)"
        R"("b":true,"z":null,"a":[[],{}],"m":{"deep":{"er":[1,{"x":"y"}]}}}]})",
        // Refresh values that are no 64-bit integer.
        R"({"minutes_to_refresh":18446744073709551615,"histories":[]})",
        R"({"minutes_to_refresh":-3,"histories":[]})",
        R"({"minutes_to_refresh":2.0,"histories":[]})",
        R"({"minutes_to_refresh":{"m":1},"histories":[]})",
        R"({"minutes_to_refresh":9223372036854775807,"histories":[]})",
        // Unicode, raw and escaped.
        "{\"histories\":[{\"t\":\"\xEC\x95\x88\xEB\x85\x95 \\ud83d\\ude00 \\u0000\"}]}",
    };
    for (const auto& text : accepted) {
        ASSERT_TRUE(HistoryListAnswer::check(text)) << text;
        expectSameReading(text);
    }

    const std::vector<std::string> refused = {
        "",
        "not json",
        R"([{"histories":[]}])",
        R"("histories")",
        R"({"minutes_to_refresh":1})",
        R"({"histories":{"id":"a"}})",
        R"({"histories":null})",
        R"({"histories":[{"id":"a"},"b"]})",
        R"({"histories":[{"id":"a"},[]]})",
        R"({"histories":[{"id":"a"}],"histories":[{"id":"b"},3]})",
        R"({"histories":[{"id":"a"}]} trailing)",
        R"({"histories":[{"id":"a"}])",  // cut short
        R"({"histories":[{"id":"a",}]})",
        "{\"histories\":[{\"id\":\"a\nb\"}]}",  // a raw line feed inside a string
        R"({"histories":[{"id":"a"}]}{})",
    };
    for (const auto& text : refused) {
        EXPECT_FALSE(HistoryListAnswer::check(text)) << text;
        expectSameReading(text);
    }
}

TEST(HistoryListAnswerTest, NestingIsRefusedWhereTheJsonReaderRefusesIt) {
    // Inside an entry of the list at depth 2: the deepest nesting the reader
    // accepts, and one level more.
    auto nested = [](int levels) {
        return R"({"histories":[{"x":)" + std::string(static_cast<std::size_t>(levels), '[') +
               std::string(static_cast<std::size_t>(levels), ']') + "}]}";
    };
    const int deepest = ValueCodec::kMaxDepth - 3;
    ASSERT_TRUE(Value::fromJson(nested(deepest)));
    ASSERT_FALSE(Value::fromJson(nested(deepest + 1)));
    EXPECT_TRUE(HistoryListAnswer::check(nested(deepest)));
    EXPECT_FALSE(HistoryListAnswer::check(nested(deepest + 1)));
    expectSameReading(nested(deepest));
    expectSameReading(nested(deepest + 1));
}

TEST(HistoryListAnswerTest, ALongListIsHandedOverOneEntryAtATimeInOrder) {
    std::string text = R"({"histories":[)";
    for (int i = 0; i < 5000; ++i) {
        text += (i ? "," : "") + std::string(R"({"id":"e)") + std::to_string(i) +
                R"(","contents":{"title":"t]\"}{"}})";
    }
    text += "]}";
    const auto answer = HistoryListAnswer::check(text);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->entries, 5000u);
    int next = 0;
    HistoryListAnswer::forEachEntry(text, [&](const Value::Map& e) {
        EXPECT_EQ(e.at("id"), Value("e" + std::to_string(next)));
        EXPECT_EQ(e.at("contents"), Value(Value::Map{{"title", Value("t]\"}{")}}));
        ++next;
    });
    EXPECT_EQ(next, 5000);
}

}  // namespace
}  // namespace sorvel
