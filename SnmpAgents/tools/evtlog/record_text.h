// One journal record (a JSON line) as a readable line:
//   2026-12-06 22:50:01.123  error        Vornekt Agents   0xC0002A3C  <text>
//   2026-12-06 22:50:01.130  alert ADMIN  Ostrel           <strings>
#pragma once
#include <string>

namespace evtlog {

struct Filter {
  std::string kind;    // "event", "alert" or empty for both
  std::string source;  // event source or alerting service; empty for any
};

// False when the record does not pass the filter; a line that is not a record is shown
// as it stands, marked, so that nothing in the file goes unseen.
bool FormatRecord(const std::string& line, const Filter& filter, std::string& out);

}  // namespace evtlog
