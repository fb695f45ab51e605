// Scoped owners of COM resources: an interface reference and a BSTR.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <span>
#include <utility>

// Holds an interface reference; releases it when it goes or is replaced.
template <class T>
class CComPtr {
 public:
  CComPtr() = default;
  ~CComPtr() { Reset(); }
  CComPtr(const CComPtr&) = delete;
  CComPtr& operator=(const CComPtr&) = delete;

  // The address for a call that hands out a reference (the old one is released first).
  T** Out() {
    Reset();
    return &m_pointer;
  }
  void** OutVoid() { return reinterpret_cast<void**>(Out()); }
  T* Get() const { return m_pointer; }
  T* operator->() const { return m_pointer; }
  explicit operator bool() const { return m_pointer != nullptr; }
  void Reset() {
    if (T* pointer = std::exchange(m_pointer, nullptr)) pointer->Release();
  }

 private:
  T* m_pointer = nullptr;
};

// Frees a BSTR when it goes; its address may be handed to a by-reference argument.
class CBstr {
 public:
  explicit CBstr(BSTR text = nullptr) : m_text(text) {}
  ~CBstr() { SysFreeString(m_text); }
  CBstr(const CBstr&) = delete;
  CBstr& operator=(const CBstr&) = delete;

  BSTR* Address() { return &m_text; }
  BSTR Get() const { return m_text; }
  std::span<const uint8_t> Bytes() const {
    return {reinterpret_cast<const uint8_t*>(m_text), static_cast<size_t>(SysStringByteLen(m_text))};
  }

 private:
  BSTR m_text;
};
