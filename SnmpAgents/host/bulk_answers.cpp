#include "bulk_answers.h"

#include <utility>

namespace host {

void BulkAnswers::Keep(const Key& key, const Oid& after, std::vector<QueryResult> answers) {
  if (answers.empty()) return;
  if (pending_.size() >= kMaxRequests) pending_.clear();
  pending_[key] = Pending{after, std::move(answers), 0};
}

bool BulkAnswers::Take(const Key& key, const Oid& asked, QueryResult& answer) {
  auto found = pending_.find(key);
  if (found == pending_.end()) return false;
  Pending& pending = found->second;
  if (pending.after != asked) {
    pending_.erase(found);
    return false;
  }
  answer = std::move(pending.answers[pending.next++]);
  if (pending.next == pending.answers.size() || !Ascends(answer, asked)) {
    pending_.erase(found);
    return true;
  }
  pending.after = answer.varbinds[0].name;
  return true;
}

bool BulkAnswers::Ascends(const QueryResult& answer, const Oid& asked) {
  return answer.called && answer.status == kNoError && answer.varbinds.size() == 1 && answer.varbinds[0].name > asked;
}

}  // namespace host
