// BSTR: a 32-bit byte count just before the characters, and a terminator after them.
#include <oleauto.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace {

// The count sits in the second half of an 8-byte header, so the characters stay 8-aligned.
constexpr size_t kHeader = 8;
constexpr size_t kTerminator = sizeof(OLECHAR) + 1;  // a character terminator, even after odd byte counts

uint32_t* CountOf(BSTR text) { return reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(text) - sizeof(uint32_t)); }

BSTR AllocateBytes(const void* bytes, size_t byteCount) {
  if (byteCount > std::numeric_limits<uint32_t>::max() - kHeader - kTerminator) return nullptr;
  char* block = static_cast<char*>(std::malloc(kHeader + byteCount + kTerminator));
  if (!block) return nullptr;
  char* data = block + kHeader;
  if (bytes) {
    std::memcpy(data, bytes, byteCount);
  } else {
    std::memset(data, 0, byteCount);
  }
  std::memset(data + byteCount, 0, kTerminator);
  BSTR text = reinterpret_cast<BSTR>(data);
  *CountOf(text) = static_cast<uint32_t>(byteCount);
  return text;
}

}  // namespace

// SysAllocString
extern "C" WINOLEAUTAPI_(BSTR) SysAllocString(const OLECHAR* psz) {
  if (!psz) return nullptr;
  return AllocateBytes(psz, std::char_traits<OLECHAR>::length(psz) * sizeof(OLECHAR));
}

// SysAllocStringLen
extern "C" WINOLEAUTAPI_(BSTR) SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  if (ui > std::numeric_limits<uint32_t>::max() / sizeof(OLECHAR)) return nullptr;
  return AllocateBytes(strIn, static_cast<size_t>(ui) * sizeof(OLECHAR));
}

// SysAllocStringByteLen
extern "C" WINOLEAUTAPI_(BSTR) SysAllocStringByteLen(LPCSTR psz, UINT len) { return AllocateBytes(psz, len); }

// SysReAllocString
extern "C" WINOLEAUTAPI_(INT) SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  if (!pbstr) return FALSE;
  BSTR fresh = SysAllocString(psz);
  if (psz && !fresh) return FALSE;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

// SysFreeString
extern "C" WINOLEAUTAPI_(void) SysFreeString(BSTR bstrString) {
  if (bstrString) std::free(reinterpret_cast<char*>(bstrString) - kHeader);
}

// SysStringLen
extern "C" WINOLEAUTAPI_(UINT) SysStringLen(BSTR pbstr) { return pbstr ? *CountOf(pbstr) / sizeof(OLECHAR) : 0; }

// SysStringByteLen
extern "C" WINOLEAUTAPI_(UINT) SysStringByteLen(BSTR bstr) { return bstr ? *CountOf(bstr) : 0; }
