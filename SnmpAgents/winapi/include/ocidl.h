// Connection points: how a client hands its event sink to a server.
#pragma once
#include "oaidl.h"

WINAPI_BEGIN_DECLS
extern WINAPI_EXPORT const IID IID_IConnectionPointContainer;
extern WINAPI_EXPORT const IID IID_IConnectionPoint;
WINAPI_END_DECLS

struct IConnectionPoint;
// Enumerators are not offered by this layer; the interfaces exist for signatures.
struct IEnumConnections : public IUnknown {};
struct IEnumConnectionPoints : public IUnknown {};

struct IConnectionPointContainer : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) = 0;
};

struct IConnectionPoint : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) = 0;
  virtual HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) = 0;
  virtual HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) = 0;
};
typedef IConnectionPoint* LPCONNECTIONPOINT;
typedef IConnectionPointContainer* LPCONNECTIONPOINTCONTAINER;
