// The repetitions of a GETBULK fetched ahead: each handed out once, in order, to the
// request that asks for exactly the next one; nothing handed to another request.
#include "bulk_answers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using host::BulkAnswers;
using host::Oid;
using host::QueryResult;

const Oid kStart{1, 3, 6, 1, 4, 1, 99999, 2};

Oid Row(uint32_t n) { return {1, 3, 6, 1, 4, 1, 99999, 2, 3, 1, n}; }

QueryResult Answer(const Oid& name, int status = host::kNoError) {
  QueryResult result;
  result.called = true;
  result.status = status;
  result.varbinds.resize(1);
  result.varbinds[0].name = name;
  return result;
}

// What the library asks, pass by pass, after the first pass kept answers for rows 2..4:
// the name each pass asks for and the row it must get (0: none kept for it).
struct Case {
  std::string label;
  std::vector<QueryResult> kept;
  std::vector<std::pair<Oid, uint32_t>> passes;
};

TEST(HostBulkAnswers, RepetitionsAreHandedOutOnceInOrder) {
  const Oid afterEnd{1, 3, 6, 1, 4, 1, 99999, 3};
  const std::vector<Case> cases = {
      {"the whole chain", {Answer(Row(2)), Answer(Row(3)), Answer(Row(4))},
       {{Row(1), 2}, {Row(2), 3}, {Row(3), 4}, {Row(4), 0}}},
      {"asked twice for the same name: the second is not served", {Answer(Row(2)), Answer(Row(3))},
       {{Row(1), 2}, {Row(1), 0}, {Row(2), 0}}},
      {"a request that moved elsewhere drops the rest", {Answer(Row(2)), Answer(Row(3))},
       {{afterEnd, 0}, {Row(1), 0}}},
      {"an error ends the chain after it", {Answer(Row(2)), Answer(Row(9), host::kGenErr), Answer(Row(10))},
       {{Row(1), 2}, {Row(2), 9}, {Row(9), 0}}},
      {"a non-ascending answer ends the chain after it", {Answer(Row(2)), Answer(Row(1)), Answer(Row(3))},
       {{Row(1), 2}, {Row(2), 1}, {Row(1), 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    BulkAnswers answers;
    const BulkAnswers::Key key{&answers, 7, 1};
    answers.Keep(key, Row(1), c.kept);
    for (const auto& [asked, row] : c.passes) {
      QueryResult got;
      const bool taken = answers.Take(key, asked, got);
      EXPECT_EQ(taken, row != 0) << "asked " << host::OidText(asked);
      if (taken && row) {
        EXPECT_EQ(got.varbinds.at(0).name, Row(row));
      }
    }
    EXPECT_EQ(answers.Requests(), 0u) << "answers left behind";
  }
}

TEST(HostBulkAnswers, AnswersBelongToTheirRequestOnly) {
  BulkAnswers answers;
  const BulkAnswers::Key first{&answers, 7, 1};
  answers.Keep(first, Row(1), {Answer(Row(2))});
  QueryResult got;
  for (const BulkAnswers::Key& other : {BulkAnswers::Key{&answers, 7, 2}, BulkAnswers::Key{&answers, 8, 1},
                                        BulkAnswers::Key{&got, 7, 1}}) {
    EXPECT_FALSE(answers.Take(other, Row(1), got));
  }
  ASSERT_TRUE(answers.Take(first, Row(1), got));
  EXPECT_EQ(got.varbinds.at(0).name, Row(2));
}

TEST(HostBulkAnswers, AbandonedRequestsDoNotPileUp) {
  BulkAnswers answers;
  for (int i = 0; i < 5000; ++i) answers.Keep(BulkAnswers::Key{&answers, i, 1}, kStart, {Answer(Row(1))});
  EXPECT_LE(answers.Requests(), 1024u);
}

}  // namespace
