// Scenario files: a cluster described in JSON (see README.md). Errors name the line and
// column of a syntax error, or the field, e.g. groups[2].preferredOwners[0].
#pragma once
#include <string>

#include "model.h"

namespace clustersim {

// Fills `model` (which should be empty) from JSON text; false with `error` otherwise.
bool LoadScenario(const std::string& json, ClusterModel& model, std::string& error);
bool LoadScenarioFile(const std::string& path, ClusterModel& model, std::string& error);

}  // namespace clustersim
