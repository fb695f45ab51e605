// The Tarn record's JSON form, attributes and data, the $SIP header and the callbacks.
#include "tarn.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "callback_map.h"
#include "sip_header.h"

namespace {

TEST(TarnRecord, TextReadBackGivesTheSameRecord) {
  const wchar_t* texts[] = {
      L"{\"SIP\":{\"CMD\":[]}}",
      L"{\"SIP\":{\"CMD\":[{\"OC\":57345,\"OE\":14353,\"OI\":0,\"CA\":-1}]}}",
      L"{\"SIP\":{\"CMD\":[{\"DA\":{\"RAW\":[0,1,255]}},{\"ST\":0,\"DA\":\"Gr\u00FC\u00DFe \u65E5\u672C \U0001F600\"}]}}",
      L"{\"SIP\":{\"CMD\":[{\"DA\":[\"a\",\"\\\"quoted\\\"\",\"tab\\there\"]}]},\"extra\":{\"n\":null,\"b\":true}}",
      L"{\"SIP\":{\"CMD\":[{\"DA\":\"\\u00e9\\ud83d\\ude00\"}]}}",
      L" {\"SIP\" : {\"CMD\" : [ {\"MI\" : 4294967295, \"TO\": 30} ] } } ",
      L"{\"SIP\":{\"CMD\":[{\"DA\":[0.1,2555555555555.55155555555555552,-0.0,1e-300,0e-555,18446744073709551615,-9223372036854775808]}]}}",
  };
  for (const wchar_t* text : texts) {
    Tarn first;
    ASSERT_TRUE(first.FromJson(text)) << "refused: " << testing::PrintToString(std::wstring(text));
    const std::wstring written = first.ToJson();
    Tarn second;
    ASSERT_TRUE(second.FromJson(written)) << testing::PrintToString(written);
    EXPECT_TRUE(first == second) << testing::PrintToString(written);
    EXPECT_EQ(written, second.ToJson());
  }
}

TEST(TarnRecord, NonAsciiTextSurvivesTheRoundTripExactly) {
  const std::wstring text = L"Gr\u00FC\u00DFe \u65E5\u672C \U0001F600";
  Tarn record = Tarn::WithCommand();
  record.SetStringData(text);
  Tarn back;
  ASSERT_TRUE(back.FromJson(record.ToJson()));
  const std::vector<uint8_t> bytes = back.DataBytes();
  const std::string utf8(reinterpret_cast<const char*>(u8"Gr\u00FC\u00DFe \u65E5\u672C \U0001F600"));
  ASSERT_EQ(utf8.size() + 1, bytes.size());
  EXPECT_EQ(utf8, std::string(bytes.begin(), bytes.end() - 1)) << "the byte form is UTF-8 and a zero";
}

TEST(TarnRecord, RefusesWhatIsNoRecordAndKeepsItsContent) {
  const std::wstring deep = std::wstring(40, L'[') + std::wstring(40, L']');
  const std::wstring deepInside = L"{\"SIP\":{\"CMD\":[{\"DA\":" + std::wstring(40, L'[') + std::wstring(40, L']') + L"}]}}";
  const std::wstring texts[] = {
      L"", L"{", L"[]", L"null", L"{\"SIP\":1}", L"{\"SIP\":{}}", L"{\"SIP\":{\"CMD\":{}}}",
      L"{\"SIP\":{\"CMD\":[1]}}", L"{\"SIP\":{\"CMD\":[]}} trailing",
      L"{\"SIP\":{\"CMD\":[{\"ST\":0,\"ST\":5}]}}", L"{\"SIP\":{\"CMD\":[{\"DA\":[{\"a\":1,\"a\":1}]}]}}", L"{\"SIP\":{\"CMD\":[{\"DA\":\"\\ud800\"}]}}",
      deep, deepInside, std::wstring(L"{\"SIP\":{\"CMD\":[]}}\0", 19),
  };
  for (const auto& text : texts) {
    Tarn record = Tarn::WithCommand();
    record.Set(L"OC", 7);
    EXPECT_FALSE(record.FromJson(text)) << "accepted: " << testing::PrintToString(text);
    EXPECT_EQ(7u, record.Get(L"OC")) << "a refused text leaves the record";
  }
}

TEST(TarnRecord, AttributesReadWithTheirDefaults) {
  Tarn record;
  EXPECT_TRUE(record.IsEmpty());
  EXPECT_EQ(Tarn::kStatusNotAnswered, record.Status());
  ASSERT_TRUE(record.FromJson(L"{\"SIP\":{\"CMD\":[{\"CA\":-1,\"OC\":1.5,\"OE\":\"3\",\"MI\":4294967295},{\"ST\":12}]}}"));
  EXPECT_EQ(2u, record.CommandCount());
  EXPECT_EQ(0xFFFFFFFFu, record.Get(L"CA")) << "-1 is all bits set";
  EXPECT_EQ(9u, record.Get(L"OC", 9)) << "a fraction is not an attribute";
  EXPECT_EQ(9u, record.Get(L"OE", 9)) << "a string is not an attribute";
  EXPECT_EQ(0xFFFFFFFFu, record.Get(L"MI"));
  EXPECT_EQ(Tarn::kStatusNotAnswered, record.Status());
  ASSERT_TRUE(record.SelectCommand(1));
  EXPECT_EQ(12, record.Status());
  EXPECT_FALSE(record.SelectCommand(2));
  EXPECT_EQ(1u, record.CommandIndex());
  record.Set(L"ST", 0);
  record.Set(L"ST", 21);
  EXPECT_EQ(21, record.Status()) << "set replaces";
  record.Remove(L"ST");
  EXPECT_FALSE(record.Has(L"ST"));
}

TEST(TarnRecord, DataInByteFormAndAsValue) {
  struct Case {
    const wchar_t* data;
    std::vector<uint8_t> bytes;
    bool hasValue;
    int64_t value;
  } cases[] = {
      {L"{\"RAW\":[1,2]}", {1, 2}, true, 0x0201},
      {L"{\"RAW\":[]}", {}, false, 0},
      {L"{\"RAW\":[1,2,3,4,5,6,7,8,9]}", {1, 2, 3, 4, 5, 6, 7, 8, 9}, false, 0},
      {L"\"ab\"", {'a', 'b', 0}, false, 0},
      {L"\"42\"", {'4', '2', 0}, true, 42},
      {L"[\"a\",\"bc\"]", {'a', 0, 'b', 'c', 0}, false, 0},
      {L"5", {5, 0, 0, 0}, true, 5},
      {L"-1", {0xff, 0xff, 0xff, 0xff}, true, -1},
      {L"4294967296", {0, 0, 0, 0, 1, 0, 0, 0}, true, 4294967296},
      {L"true", {1, 0, 0, 0}, true, 1},
      {L"null", {}, false, 0},
      {L"{\"other\":1}", {}, false, 0},
  };
  for (const auto& c : cases) {
    Tarn record;
    ASSERT_TRUE(record.FromJson(std::wstring(L"{\"SIP\":{\"CMD\":[{\"DA\":") + c.data + L"}]}}"));
    EXPECT_EQ(c.bytes, record.DataBytes()) << testing::PrintToString(std::wstring(c.data));
    const auto value = record.DataValue();
    EXPECT_EQ(c.hasValue, value.has_value()) << testing::PrintToString(std::wstring(c.data));
    if (value && c.hasValue) {
      EXPECT_EQ(c.value, *value) << testing::PrintToString(std::wstring(c.data));
    }
  }
  Tarn raw = Tarn::WithCommand();
  const uint8_t bytes[] = {0, 0x80, 0xff};
  raw.SetRawData(bytes);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 3), raw.DataBytes());
}

TEST(TarnRecord, GoodReplyNeedsAGoodStatusAndData) {
  struct Case {
    const wchar_t* command;
    bool good;
  } cases[] = {
      {L"{\"ST\":0,\"DA\":1}", true},      {L"{\"ST\":12,\"DA\":\"x\"}", true}, {L"{\"ST\":21,\"DA\":[]}", true},
      {L"{\"ST\":255,\"DA\":0}", true},    {L"{\"ST\":1,\"DA\":1}", false},     {L"{\"DA\":1}", false},
      {L"{\"ST\":0}", false},              {L"{\"ST\":0,\"DA\":null}", false},  {L"{\"ST\":0,\"DA\":\"\"}", false},
  };
  for (const auto& c : cases) {
    Tarn record;
    ASSERT_TRUE(record.FromJson(std::wstring(L"{\"SIP\":{\"CMD\":[") + c.command + L"]}}"));
    EXPECT_EQ(c.good, record.IsGoodReply()) << testing::PrintToString(std::wstring(c.command));
  }
}

TEST(SipHeaderLayout, BytesAreWhereTheProtocolPutsThem) {
  const SipHeader header{0x11223344, 0xE001, 0x3811, 0x55, 0xFFFFFFFF, 22, 0xAABBCCDD};
  const auto bytes = BuildSipHeader(header);
  const uint8_t expected[kSipHeaderSize] = {
      '$', 'S', 'I', 'P', 2, 0, 48, 0,                 // signature, version, header length
      0x44, 0x33, 0x22, 0x11, 0x01, 0xE0, 0, 0,         // data length, OC
      0x11, 0x38, 0, 0, 0x55, 0, 0, 0,                  // OE, OI
      0xff, 0xff, 0xff, 0xff, 22, 0, 0, 0,              // CA, ST
      0, 0, 0, 0, 0xDD, 0xCC, 0xBB, 0xAA,               // 0, MI low word, MI high word
      0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(expected, bytes.data(), kSipHeaderSize));
  SipHeader back;
  ASSERT_TRUE(ParseSipHeader(bytes, back));
  EXPECT_EQ(header.dataLength, back.dataLength);
  EXPECT_EQ(header.oc, back.oc);
  EXPECT_EQ(header.oe, back.oe);
  EXPECT_EQ(header.oi, back.oi);
  EXPECT_EQ(header.ca, back.ca);
  EXPECT_EQ(header.st, back.st);
  EXPECT_EQ(header.mi, back.mi);
}

TEST(SipHeaderLayout, RefusesShortOrForeignHeaders) {
  const auto good = BuildSipHeader({});
  SipHeader header;
  EXPECT_FALSE(ParseSipHeader(std::span<const uint8_t>(good.data(), 47), header));
  EXPECT_FALSE(ParseSipHeader({}, header));
  for (size_t at : {0u, 3u, 4u, 6u}) {
    auto bad = good;
    bad[at] ^= 0x40;
    EXPECT_FALSE(ParseSipHeader(bad, header)) << "byte " << at;
  }
}

TEST(Tarn, DataAsTextAs32BitNumberAndAsJson) {
  struct Case {
    std::wstring data;  // JSON
    std::optional<LONG> number;
    std::optional<std::wstring> text;
  } const cases[] = {
      {L"7", 7, L"7"},
      {L"-2147483648", INT32_MIN, L"-2147483648"},
      {L"4294967295", -1, L"4294967295"},
      {L"4294967296", std::nullopt, L"4294967296"},
      {L"18446744073709551615", std::nullopt, L"-1"},
      {L"2.5", std::nullopt, std::nullopt},
      {L"\"12\"", 12, L"12"},
      {L"\"x1\"", std::nullopt, L"x1"},
      {L"{\"RAW\":[1,0,0,128]}", INT32_MIN + 1, L"\u0001"},
      {L"{\"RAW\":[1,0,0,0,0,0,0,128]}", std::nullopt, L"\u0001"},
      {L"{\"RAW\":[104,105,0,106]}", 0x6A006968, L"hi"},
      {L"[\"a\"]", std::nullopt, std::nullopt},
      {L"null", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    Tarn record = Tarn::WithCommand();
    ASSERT_TRUE(record.SetDataJson(c.data)) << c.data;
    EXPECT_EQ(record.DataJson(), c.data);
    EXPECT_EQ(record.DataValue32(), c.number) << c.data;
    EXPECT_EQ(record.DataText(), c.text) << c.data;
  }
  Tarn record = Tarn::WithCommand();
  record.SetNumberData(3);
  for (const wchar_t* bad : {L"", L"x", L"1,\"ST\":0", L"1}]}}", L"1},{\"DA\":2"}) {
    EXPECT_FALSE(record.SetDataJson(bad)) << bad;
    EXPECT_EQ(record.DataValue(), 3) << "data unchanged after " << bad;
  }
}

std::vector<std::pair<int, ULONG_PTR>> g_calls;
void First(Tarn&, ULONG_PTR context) { g_calls.push_back({1, context}); }
void Second(Tarn&, ULONG_PTR context) { g_calls.push_back({2, context}); }

TEST(CallbackMap, CallsEveryCallbackWithItsLatestContext) {
  CCallbackMap map;
  map.Register(&Second, 20);
  map.Register(&First, 10);
  map.Register(&First, 11);
  map.Register(nullptr, 5);
  EXPECT_EQ(2u, map.Size());
  Tarn event = Tarn::WithCommand();
  g_calls.clear();
  map.Deliver(event);
  ASSERT_EQ(2u, g_calls.size());
  for (const auto& [which, context] : g_calls) EXPECT_EQ(which == 1 ? 11u : 20u, context);
  map.Remove(&First);
  g_calls.clear();
  map.Deliver(event);
  ASSERT_EQ(1u, g_calls.size());
  EXPECT_EQ(2, g_calls[0].first);
}

}  // namespace
