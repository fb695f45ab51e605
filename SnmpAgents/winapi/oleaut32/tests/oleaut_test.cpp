// BSTR and VARIANT contracts, against our layer and Wine's oleaut32.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(Bstr, LengthPrefixAndTerminator) {
  struct Case {
    const wchar_t* text;
    UINT length;
  } cases[] = {{L"", 0}, {L"a", 1}, {L"RELAY", 5}, {L"Gr\u00FC\u00DFe", 5}};
  for (const auto& c : cases) {
    BSTR text = SysAllocString(c.text);
    ASSERT_NE(nullptr, text) << c.length;
    EXPECT_EQ(c.length, SysStringLen(text));
    EXPECT_EQ(c.length * sizeof(OLECHAR), SysStringByteLen(text));
    EXPECT_EQ(0, std::memcmp(text, c.text, (c.length + 1) * sizeof(OLECHAR)));
    SysFreeString(text);
  }
  EXPECT_EQ(nullptr, SysAllocString(nullptr));
  EXPECT_EQ(0u, SysStringLen(nullptr));
  EXPECT_EQ(0u, SysStringByteLen(nullptr));
  SysFreeString(nullptr);
}

TEST(Bstr, ByteStringsKeepTheirExactLengthAndInnerZeros) {
  const char bytes[] = {'$', 'S', 'I', 'P', 2, 0, 48, 0, 0x7f};
  for (UINT length : {0u, 1u, 5u, 9u}) {
    BSTR text = SysAllocStringByteLen(bytes, length);
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(length, SysStringByteLen(text)) << length;
    EXPECT_EQ(0, std::memcmp(text, bytes, length));
    EXPECT_EQ(0, reinterpret_cast<const char*>(text)[length]) << "terminated after " << length << " bytes";
    SysFreeString(text);
  }
  BSTR zeroed = SysAllocStringByteLen(nullptr, 3);
  ASSERT_NE(nullptr, zeroed);
  EXPECT_EQ(3u, SysStringByteLen(zeroed));
  SysFreeString(zeroed);
}

TEST(Bstr, LengthCountsEmbeddedZerosAndReallocationReplaces) {
  const OLECHAR text[] = {L'a', 0, L'b'};
  BSTR counted = SysAllocStringLen(text, 3);
  ASSERT_NE(nullptr, counted);
  EXPECT_EQ(3u, SysStringLen(counted));
  EXPECT_EQ(L'b', counted[2]);
  EXPECT_TRUE(SysReAllocString(&counted, L"xyz!"));
  EXPECT_EQ(4u, SysStringLen(counted));
  EXPECT_STREQ(L"xyz!", counted);
  SysFreeString(counted);
}

// Counts references so that VariantCopy/VariantClear can be checked on interfaces.
class Counted final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  ULONG refs = 1;
};

TEST(Variant, CopyDuplicatesWhatItOwnsAndClearFreesIt) {
  VARIANT source;
  VariantInit(&source);
  EXPECT_EQ(VT_EMPTY, source.vt);
  source.vt = VT_BSTR;
  source.bstrVal = SysAllocString(L"JsonRequest");
  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(S_OK, VariantCopy(&copy, &source));
  EXPECT_EQ(VT_BSTR, copy.vt);
  EXPECT_NE(source.bstrVal, copy.bstrVal) << "a copy owns its own string";
  EXPECT_STREQ(L"JsonRequest", copy.bstrVal);
  EXPECT_EQ(S_OK, VariantClear(&source));
  EXPECT_EQ(VT_EMPTY, source.vt);
  EXPECT_STREQ(L"JsonRequest", copy.bstrVal);

  Counted object;
  VARIANT held;
  VariantInit(&held);
  held.vt = VT_UNKNOWN;
  held.punkVal = &object;
  ASSERT_EQ(S_OK, VariantCopy(&copy, &held));  // also frees the string copy
  EXPECT_EQ(2u, object.refs);
  EXPECT_EQ(S_OK, VariantClear(&copy));
  EXPECT_EQ(1u, object.refs);
}

TEST(Variant, ByReferenceValuesAreNotOwned) {
  BSTR text = SysAllocString(L"kept");
  VARIANT reference;
  VariantInit(&reference);
  reference.vt = VT_BSTR | VT_BYREF;
  reference.pbstrVal = &text;
  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(S_OK, VariantCopy(&copy, &reference));
  EXPECT_EQ(&text, copy.pbstrVal);
  EXPECT_EQ(S_OK, VariantClear(&copy));
  EXPECT_EQ(S_OK, VariantClear(&reference));
  EXPECT_STREQ(L"kept", text);
  SysFreeString(text);
}

TEST(Variant, UnknownTypesAreRefused) {
  VARIANT bad;
  VariantInit(&bad);
  bad.vt = 0x7ff;
  EXPECT_EQ(DISP_E_BADVARTYPE, VariantClear(&bad));
  VARIANT copy;
  VariantInit(&copy);
  EXPECT_EQ(DISP_E_BADVARTYPE, VariantCopy(&copy, &bad));
  EXPECT_EQ(VT_EMPTY, copy.vt);
}

}  // namespace
