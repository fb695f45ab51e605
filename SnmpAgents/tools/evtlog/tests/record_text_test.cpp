#include "record_text.h"

#include <gtest/gtest.h>

namespace {

TEST(EvtlogRecordText, RecordsBecomeReadableLines) {
  const struct {
    const char* what;
    std::string line;
    evtlog::Filter filter;
    bool shown;
    std::string text;
  } cases[] = {
      {"event with its message",
       R"({"time":"2026-12-06T22:50:01.123Z","pid":7,"kind":"event","source":"Vornekt Agents","type":"error",)"
       R"("eventId":3221236284,"eventIdHex":"0xC0002A3C","strings":["CL1"],"text":"Cluster CL1\r\nis down."})",
       {}, true, "2026-12-06 22:50:01.123  error        Vornekt Agents   0xC0002A3C  Cluster CL1 / is down."},
      {"event without text shows its strings",
       R"({"time":"t","kind":"event","source":"S","type":"warning","eventIdHex":"0x80000001","strings":["a","b"]})",
       {}, true, "t  warning      S                0x80000001  a | b"},
      {"alert", R"({"time":"t","kind":"alert","alertType":"ADMIN","service":"Ostrel","strings":["x"]})", {}, true,
       "t  alert ADMIN  Ostrel           x"},
      {"a formatted text's final line break is dropped",
       R"({"time":"t","kind":"alert","alertType":"ADMIN","service":"Ostrel","strings":["one\r\ntwo.\r\n"]})", {},
       true, "t  alert ADMIN  Ostrel           one / two."},
      {"kind filter", R"({"kind":"alert","service":"Ostrel"})", {"event", ""}, false, ""},
      {"source filter", R"({"kind":"event","source":"Other"})", {"", "Vornekt Agents"}, false, ""},
      {"not a record", "{broken", {}, true, "?? {broken"},
      {"not a record, filtered", "[1]", {"event", ""}, false, ""},
      {"wrong field types are left out", R"({"kind":"event","source":5,"strings":[1,"s"]})", {}, true,
       std::string(34, ' ') + "s"},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(evtlog::FormatRecord(c.line, c.filter, out), c.shown) << c.what;
    if (c.shown) {
      EXPECT_EQ(out, c.text) << c.what;
    }
  }
}

}  // namespace
