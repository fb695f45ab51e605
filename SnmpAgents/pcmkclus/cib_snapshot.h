// A Pacemaker cluster as the cluster model: the status that crm_mon reports
// (`crm_mon --output-as=xml`) together with the CIB's configuration (names, attributes,
// constraints). README.md has the mapping as a table.
#pragma once
#include <string>
#include <vector>

#include "model.h"

namespace pcmkclus {

using clustersim::ClusterModel;

// The crm_mon api-version majors this reader understands.
inline constexpr int kMonitorApiMajor = 2;

// Fills an empty `model` from crm_mon's XML and the CIB's XML (the whole CIB or just
// its configuration section). False with `error` when either cannot be used: not XML,
// crm_mon output without its status sections (crm_mon exits 0 when it cannot read the
// CIB), or an api-version this reader does not know. Warnings name what was skipped.
bool BuildModel(const std::string& monitorXml, const std::string& cibXml, ClusterModel& model, std::string& error,
                std::vector<std::string>& warnings);

// Group and resource states are the model's; a group placed on no node gets owner 0
// (the service keeps it where it was). The first snapshot of a service puts such groups
// on their first preferred owner, or the first node.
void PlaceUnownedGroups(ClusterModel& model);

// "admin_epoch.epoch.num_updates" of a CIB (its root element suffices); empty when the
// text is no CIB. Any change of the CIB changes it.
std::string CibVersion(const std::string& cibXml);

// Milliseconds of a Pacemaker interval ("10s", "500ms", "2min", "1h", "PT10S", "30");
// false for text that is none.
bool ParseInterval(const std::string& text, unsigned long long& milliseconds);

// A score of a constraint: INFINITY and +INFINITY as the largest, -INFINITY the smallest.
bool ParseScore(const std::string& text, long long& score);

}  // namespace pcmkclus
