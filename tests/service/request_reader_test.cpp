#include "service/request_reader.h"

#include <gtest/gtest.h>

namespace {

struct ReadCase {
    const char* line;
    const char* answer; // empty: a request is read
};

class RequestReading : public ::testing::TestWithParam<ReadCase> {};

TEST_P(RequestReading, AnswersOrReads) {
    std::string answer;
    std::optional<Request> r = read_request({GetParam().line, false}, &answer);
    EXPECT_EQ(answer, GetParam().answer);
    EXPECT_EQ(r.has_value(), answer.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RequestReading,
    ::testing::Values(
        ReadCase{R"({"id": 1, "op": "list"})", ""},
        ReadCase{R"({"id": "a\u00e9", "op": "door", "door": "B", "database": "x.tsy"})", ""},
        ReadCase{R"({"id":1,"op":"list")",
                 "{\"id\": null, \"ok\": false, \"error\": \"malformed request: expected ',' or "
                 "'}' at byte 20\"}\n"},
        ReadCase{"[1,2]",
                 "{\"id\": null, \"ok\": false, \"error\": \"a request is a JSON object\"}\n"},
        ReadCase{R"({"op": "list"})", "{\"id\": null, \"ok\": false, \"error\": \"a request needs "
                                      "an \\\"id\\\": a string or a whole number\"}\n"},
        ReadCase{R"({"id": 1.5, "op": "list"})",
                 "{\"id\": null, \"ok\": false, \"error\": \"a request needs an \\\"id\\\": a "
                 "string or a whole number\"}\n"},
        ReadCase{R"({"id": 7})",
                 "{\"id\": 7, \"ok\": false, \"error\": \"a request needs an \\\"op\\\"\"}\n"},
        ReadCase{R"({"id": 7, "op": "fly"})",
                 "{\"id\": 7, \"ok\": false, \"error\": \"unknown op \\\"fly\\\"\"}\n"},
        ReadCase{R"({"id": 7, "op": "door", "door": "C"})",
                 "{\"id\": 7, \"ok\": false, \"error\": \"\\\"door\\\" must be \\\"A\\\" or "
                 "\\\"B\\\"\"}\n"},
        ReadCase{R"({"id": 7, "op": "clear"})",
                 "{\"id\": 7, \"ok\": false, \"error\": \"clear erases the controller's keys: it "
                 "needs \\\"confirm\\\": true\"}\n"},
        ReadCase{R"({"id": 7, "op": "sync", "extras": "maybe"})",
                 "{\"id\": 7, \"ok\": false, \"error\": \"\\\"extras\\\" must be \\\"keep\\\" or "
                 "\\\"delete\\\"\"}\n"},
        ReadCase{R"({"id": 7, "op": "sync", "verify": 1})",
                 "{\"id\": 7, \"ok\": false, \"error\": \"\\\"verify\\\" must be true or "
                 "false\"}\n"},
        ReadCase{R"({"id": 7, "op": "subscribe", "backlog": -1})",
                 "{\"id\": 7, \"ok\": false, \"error\": \"\\\"backlog\\\" must be a whole number "
                 "from 0 to 100000\"}\n"},
        ReadCase{R"({"id": 7, "op": "list", "database": 3})",
                 "{\"id\": 7, \"ok\": false, \"error\": \"\\\"database\\\" must be a file "
                 "name\"}\n"},
        ReadCase{"{\"id\": \"\\ud800\", \"op\": \"list\"}",
                 "{\"id\": null, \"ok\": false, \"error\": \"malformed request: lone high "
                 "surrogate at byte 15\"}\n"}));

TEST(RequestReader, TakesTheFieldsOfASync) {
    std::string answer;
    std::optional<Request> r = read_request(
        {R"({"id": "s", "op": "sync", "extras": "delete", "verify": true, "database": "o.tsy"})",
         false},
        &answer);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, "\"s\"");
    EXPECT_EQ(r->op, RequestOp::Sync);
    EXPECT_EQ(r->extras, ExtraKeys::Delete);
    EXPECT_TRUE(r->verify);
    EXPECT_EQ(r->database, "o.tsy");
}

TEST(RequestReader, NestingBeyondTheBoundIsAnErrorNotARecursion) {
    std::string deep = R"({"id": 1, "op": "list", "x": )" + std::string(10000, '[');
    std::string answer;
    EXPECT_FALSE(read_request({deep, false}, &answer));
    EXPECT_NE(answer.find("nesting too deep"), std::string::npos);
}

TEST(LineReader, CutsLinesAcrossFeedsAndSkipsBlankOnes) {
    LineReader reader(16);
    reader.feed("{\"a\"");
    EXPECT_FALSE(reader.next());
    reader.feed(":1}\r\n\n  \n{}\n");
    EXPECT_EQ(reader.next()->text, "{\"a\":1}");
    EXPECT_EQ(reader.next()->text, "{}");
    EXPECT_FALSE(reader.next());
}

TEST(LineReader, ReportsAnOversizedLineOnceAndGoesOnAfterIt) {
    LineReader reader(16);
    reader.feed(std::string(10, 'x'));
    reader.feed(std::string(10, 'x'));
    reader.feed(std::string(100, 'x'));
    reader.feed("x\n{}\n");
    std::optional<LineReader::Line> first = reader.next();
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->oversized);
    EXPECT_EQ(reader.next()->text, "{}");
    EXPECT_FALSE(reader.next());
    std::string answer;
    EXPECT_FALSE(read_request(*first, &answer));
    EXPECT_EQ(answer, "{\"id\": null, \"ok\": false, \"error\": \"request line longer than 65536 "
                      "bytes\"}\n");
}

} // namespace
