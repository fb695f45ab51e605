// The model and notifications as stable text, one object or notification a line: what
// the fixtures expect and what `pcmkclusd --print` shows.
#pragma once
#include <string>

#include "model.h"

namespace pcmkclus {

std::string ModelText(const clustersim::ClusterModel& model);
std::string NotificationsText(const clustersim::Notifications& notifications);

}  // namespace pcmkclus
