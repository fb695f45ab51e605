// The rest of a GETBULK's repetitions, asked of the agent in the same pass as the first.
// The library asks for each repetition in a pass of its own; without these, every object
// of a bulk walk would cost a trip to the agent's thread. Used on the event loop's thread.
#pragma once
#include <compare>
#include <cstddef>
#include <map>
#include <vector>

#include "host_types.h"

namespace host {

class BulkAnswers {
 public:
  // One request of one PDU: the library's state of that PDU, its transaction, the varbind.
  struct Key {
    const void* pduState;
    long transaction;
    int index;
    auto operator<=>(const Key&) const = default;
  };

  // Keeps the agent's answers to the GETNEXTs that follow `after`, in order.
  void Keep(const Key& key, const Oid& after, std::vector<QueryResult> answers);
  // The answer to the GETNEXT of `asked`, when it was fetched; each is handed out once.
  // A request that asks anything else has moved on: its answers are dropped.
  bool Take(const Key& key, const Oid& asked, QueryResult& answer);
  size_t Requests() const { return pending_.size(); }

  // A usable GETNEXT answer that leads further on from `asked`.
  static bool Ascends(const QueryResult& answer, const Oid& asked);

 private:
  // Answers of requests the library stopped asking (a full response) are never taken:
  // beyond this many requests, they go.
  static constexpr size_t kMaxRequests = 1024;
  struct Pending {
    Oid after;
    std::vector<QueryResult> answers;
    size_t next = 0;
  };
  std::map<Key, Pending> pending_;
};

}  // namespace host
