// Reading a version resource held in memory (as GetFileVersionInfoW fills it): the fixed
// part, the translations and the strings.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class CVersionResource {
 public:
  // The VS_FIXEDFILEINFO of the root block; null without one.
  const VS_FIXEDFILEINFO* GetFixedInfo() const;

  // The first translation with the given language, or the first at all for language 0;
  // returns its language and code page.
  bool ContainsLangId(WORD& langId, WORD& codePage) const;

  // The string entry of the translation found for langId, with every control character
  // replaced by '?'.
  bool QueryString(std::wstring& text, const wchar_t* entry, WORD langId = 0) const;

  bool IsLoaded() const { return !m_data.empty(); }

 protected:
  std::vector<BYTE> m_data;
};
