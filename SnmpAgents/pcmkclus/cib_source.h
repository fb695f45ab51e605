// The cluster of a Pacemaker CIB file, read with crm_mon: a file that is reloaded when
// it is replaced, and a directory of CIB states that is replayed one state at a time.
#pragma once
#include <chrono>
#include <string>
#include <vector>

#include "cib_watch.h"
#include "model.h"
#include "source.h"

namespace pcmkclus {

using clustersim::ClusterModel;
using clustersim::LogFunction;
using clustersim::Notifications;

// The model of one CIB file: crm_mon (from PATH, or $PCMKCLUS_CRM_MON) run on a private
// copy of it, so that the status and the configuration come from the same state; with a
// corosync.conf, its links become networks and interfaces.
bool SnapshotOfCibFile(const std::string& path, ClusterModel& model, std::string& error,
                       std::vector<std::string>& warnings, const std::string& corosyncConf = std::string());

// The model of the local cluster's live CIB (`cibadmin --query`, then as a file); the
// CIB's version besides when `version` is given.
bool SnapshotOfLiveCib(ClusterModel& model, std::string& error, std::vector<std::string>& warnings,
                       const std::string& corosyncConf = std::string(), std::string* version = nullptr);
// The live CIB's version alone; empty when it cannot be read.
std::string LiveCibVersion();

// Brings `model` to the state of the CIB file; a file that cannot be read leaves the
// model as it is and says why in the log. A group the new state places nowhere stays on
// its owner; a new one goes to its first preferred owner.
bool FollowCibFile(const std::string& path, ClusterModel& model, Notifications& out, const LogFunction& log,
                   const std::string& corosyncConf = std::string());

class CibFileSource : public clustersim::ModelSource {
 public:
  // quiet: how long the file must stay unchanged before it is read (updates come in
  // bursts); poll: how often the file is checked besides its directory's events.
  CibFileSource(std::string path, std::string corosyncConf, std::chrono::milliseconds quiet,
                std::chrono::milliseconds poll);
  ~CibFileSource() override;
  CibFileSource(const CibFileSource&) = delete;
  CibFileSource& operator=(const CibFileSource&) = delete;

  std::string Describe() const override { return path_; }
  bool Load(ClusterModel& model, std::string& error, const LogFunction& log) override;
  int Descriptor() const override { return inotify_; }
  int TimeoutMs() const override;
  void Update(ClusterModel& model, Notifications& out, const LogFunction& log) override;
  bool Command(const std::vector<std::wstring>& argv, ClusterModel& model, Notifications& out, std::string& message,
               bool& ok, const LogFunction& log) override;

 private:
  using Clock = std::chrono::steady_clock;
  struct Stamp {
    long long inode = 0, size = -1, mtimeNs = 0;
    bool operator==(const Stamp&) const = default;
  };
  Stamp StampOf() const;
  bool DrainEvents();

  std::string path_;
  std::string corosyncConf_;
  std::chrono::milliseconds quiet_, poll_;
  int inotify_ = -1;
  Stamp seen_;
  bool pending_ = false;
  Clock::time_point due_{};
  Clock::time_point nextPoll_{};
};

class ReplaySource : public clustersim::ModelSource {
 public:
  // interval 0: only the control command "step" moves on. A corosync.conf in the
  // directory gives every state its links.
  ReplaySource(std::string directory, std::chrono::milliseconds interval);

  std::string Describe() const override { return directory_; }
  bool Load(ClusterModel& model, std::string& error, const LogFunction& log) override;
  int TimeoutMs() const override;
  void Update(ClusterModel& model, Notifications& out, const LogFunction& log) override;
  // "step": the next state; "replay": where the replay stands.
  bool Command(const std::vector<std::wstring>& argv, ClusterModel& model, Notifications& out, std::string& message,
               bool& ok, const LogFunction& log) override;

 private:
  using Clock = std::chrono::steady_clock;
  bool Step(ClusterModel& model, Notifications& out, std::string& message, const LogFunction& log);
  std::string Position() const;

  std::string directory_;
  std::string corosyncConf_;
  std::chrono::milliseconds interval_;
  std::vector<std::string> states_;
  std::size_t current_ = 0;
  Clock::time_point due_{};
};

// The local Pacemaker cluster: libcib's change notifications trigger a full snapshot once
// they have been quiet for a moment (an administrative action is a burst of several CIB
// updates); a periodic snapshot is the safety net. While the cluster cannot be read (the
// stack stopped, or not started yet) the service is reported lost; the connection is
// tried again every few seconds.
class LiveSource : public clustersim::ModelSource {
 public:
  LiveSource(std::string corosyncConf, std::chrono::milliseconds quiet, std::chrono::milliseconds poll,
             unsigned retrySeconds);

  std::string Describe() const override { return "the local Pacemaker cluster"; }
  // Starts the watch; a cluster that cannot be read yet is no error (it is waited for).
  bool Load(ClusterModel& model, std::string& error, const LogFunction& log) override;
  int Descriptor() const override { return watch_.Descriptor(); }
  int TimeoutMs() const override;
  void Update(ClusterModel& model, Notifications& out, const LogFunction& log) override;
  bool ClusterReachable() const override { return reachable_; }
  // "reload": a snapshot now.
  bool Command(const std::vector<std::wstring>& argv, ClusterModel& model, Notifications& out, std::string& message,
               bool& ok, const LogFunction& log) override;

 private:
  using Clock = std::chrono::steady_clock;
  bool Snapshot(ClusterModel& model, Notifications& out, const LogFunction& log);

  std::string corosyncConf_;
  std::chrono::milliseconds quiet_, poll_, retry_;
  CibWatch watch_;
  bool reachable_ = false;
  bool connected_ = false;
  std::string lastError_;  // logged once, not on every retry
  std::string version_;    // of the last snapshot
  bool pending_ = false;
  Clock::time_point firstEvent_{}, due_{}, nextPoll_{};
};

}  // namespace pcmkclus
