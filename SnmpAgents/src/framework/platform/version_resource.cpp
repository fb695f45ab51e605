#include "version_resource.h"

#include "debug_trace.h"
#include "trace_format.h"

namespace {

struct Translation {
  WORD langId;
  WORD codePage;
};

bool IsPrintable(wchar_t c) { return !(c < 0x20 || (c >= 0x7F && c < 0xA0)); }

}  // namespace

const VS_FIXEDFILEINFO* CVersionResource::GetFixedInfo() const {
  if (m_data.empty()) return nullptr;
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(m_data.data(), L"\\", &value, &length) || !value || length < sizeof(VS_FIXEDFILEINFO)) {
    return nullptr;
  }
  return static_cast<const VS_FIXEDFILEINFO*>(value);
}

bool CVersionResource::ContainsLangId(WORD& langId, WORD& codePage) const {
  DBG_TRACE(5, L"\nCVersionResource    : Search version info entry for lang ID 0x%04X and code page %d ...", langId,
            codePage);
  void* value = nullptr;
  UINT length = 0;
  if (m_data.empty() || !VerQueryValueW(m_data.data(), L"\\VarFileInfo\\Translation", &value, &length) || !value) {
    return false;
  }
  const auto* translations = static_cast<const Translation*>(value);
  const UINT count = length / sizeof(Translation);
  DBG_TRACE(5, L"\nCVersionResource    : Version resource contains %d language(s):", count);
  bool found = false;
  for (UINT i = 0; i < count && !found; ++i) {
    DBG_TRACE(5, L"\nCVersionResource    : Check version resource entry with lang ID 0x%04X", translations[i].langId);
    if (langId != 0 && translations[i].langId != langId) continue;
    langId = translations[i].langId;
    codePage = translations[i].codePage;
    found = true;
  }
  DBG_TRACE(4, L"\nCVersionResource    : ... version info entry %sfound (Return: Lang ID 0x%04X, Code page %d)!",
            found ? L"" : L"NOT ", langId, codePage);
  return found;
}

bool CVersionResource::QueryString(std::wstring& text, const wchar_t* entry, WORD langId) const {
  if (!entry) return false;
  WORD codePage = 0;
  if (!ContainsLangId(langId, codePage)) {
    DBG_TRACE(1, L"\nCVersionResource    : ERROR 0x%X! ContainsLangId() FAILED!", GetLastError());
    return false;
  }
  const std::wstring query = fw::diag::FormatWide(L"\\StringFileInfo\\%04X%04X\\%s", langId, codePage, entry);
  DBG_TRACE(5, L"\nCFileVersionInfo    : Query version info string \"%s\"", query);
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(m_data.data(), query.c_str(), &value, &length) || !value) {
    DBG_TRACE(1, L"\nCVersionResource    : ERROR 0x%X! VerQueryValue() FAILED!", GetLastError());
    return false;
  }
  // The length counts characters, with the terminator when there is one.
  text.assign(static_cast<const wchar_t*>(value), length);
  const std::size_t end = text.find(L'\0');
  if (end != std::wstring::npos) text.resize(end);
  for (wchar_t& c : text) {
    if (!IsPrintable(c)) c = L'?';
  }
  DBG_TRACE(4, L"\nCVersionResource    : Version info string for \"%s\": \"%s\"", entry, text);
  return true;
}
