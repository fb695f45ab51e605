// Scenario files: a cluster described in JSON (see README.md). Errors name the line and
// column of a syntax error, or the field, e.g. groups[2].preferredOwners[0]. Warnings name
// the field too: a name that matches nothing, a value the Cluster API would cut.
#pragma once
#include <string>
#include <vector>

#include "model.h"
#include "source.h"

namespace clustersim {

using Warnings = std::vector<std::string>;

// Fills `model` (which should be empty) from JSON text; false with `error` otherwise.
// Warnings are added to `warnings` when given.
bool LoadScenario(const std::string& json, ClusterModel& model, std::string& error, Warnings* warnings = nullptr);
bool LoadScenarioFile(const std::string& path, ClusterModel& model, std::string& error,
                      Warnings* warnings = nullptr);

// clussimd's cluster: a scenario file, loaded once; clussim changes it.
class ScenarioSource : public ModelSource {
 public:
  explicit ScenarioSource(std::string path) : path_(std::move(path)) {}
  std::string Describe() const override { return path_; }
  bool Load(ClusterModel& model, std::string& error, const LogFunction& log) override;

 private:
  std::string path_;
};

}  // namespace clustersim
