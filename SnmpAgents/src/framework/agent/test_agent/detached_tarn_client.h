// A management client that never reaches a service: attaching and events succeed, every
// request fails as an unanswered one. For agents tested or demonstrated without mgtcore.
#pragma once

#include "tarn_client.h"

namespace fw::testing {

class CDetachedTarnClient final : public CTarnClient {
 public:
  using CTarnClient::CTarnClient;
  using CTarnClient::Request;

  bool Attach() override { return true; }
  bool Detach() override { return true; }
  bool EnableEvents(bool, bool) override { return true; }
  LONG Request(Tarn& record, DWORD) override {
    record.Set(L"ST", kTarnStatusFailed);
    return kTarnStatusFailed;
  }
};

}  // namespace fw::testing
