#include "cib_source.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "cib_snapshot.h"
#include "corosync_links.h"
#include "wide_text.h"

namespace pcmkclus {

namespace {

constexpr int kToolTimeoutMs = 30000;

// A Pacemaker tool, or the one an environment variable names instead.
std::string Tool(const char* variable, const char* name) {
  const char* path = std::getenv(variable);
  return path && *path ? path : name;
}

bool ReadFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  text = buffer.str();
  return !in.bad();
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

// A private directory for the copies crm_mon reads, removed with its last file.
class ScratchFile {
 public:
  ScratchFile() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pcmkclusd-XXXXXX";
    if (mkdtemp(pattern.data())) dir_ = pattern;
  }
  ~ScratchFile() {
    if (dir_.empty()) return;
    unlink(Path().c_str());
    rmdir(dir_.c_str());
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  bool Ok() const { return !dir_.empty(); }
  std::string Path() const { return dir_ + "/cib.xml"; }

 private:
  std::string dir_;
};

// The standard output of a Pacemaker tool run on the CIB file `cib` (empty: the live
// CIB); false with the reason.
bool RunTool(const std::string& program, const std::vector<std::string>& options, const std::string& cib,
             std::string& output, std::string& error) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  // The environment is made before fork: the child only calls what is safe after it.
  const std::string cibVariable = "CIB_file=" + cib;
  std::vector<char*> env;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "CIB_file=", 9) != 0) env.push_back(*e);
  }
  if (!cib.empty()) env.push_back(const_cast<char*>(cibVariable.c_str()));
  env.push_back(nullptr);
  std::vector<char*> args = {const_cast<char*>(program.c_str())};
  for (const auto& option : options) args.push_back(const_cast<char*>(option.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    error = std::string("fork: ") + std::strerror(errno);
    return false;
  }
  if (pid == 0) {
    dup2(pipeFds[1], 1);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 2);
    execvpe(program.c_str(), args.data(), env.data());
    _exit(127);
  }
  close(pipeFds[1]);
  output.clear();
  char chunk[65536];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kToolTimeoutMs);
  bool timedOut = false;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    pollfd p{pipeFds[0], POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) == 0) {
      timedOut = true;
      break;
    }
    const ssize_t n = read(pipeFds[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    output.append(chunk, static_cast<std::size_t>(n));
  }
  close(pipeFds[0]);
  if (timedOut) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timedOut) {
    error = program + " did not answer within " + std::to_string(kToolTimeoutMs / 1000) + " s";
    return false;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 127 && output.empty()) {
    error = "cannot run " + program + " (install pacemaker-cli-utils)";
    return false;
  }
  // crm_mon exits 0 also when it cannot read the CIB; its XML says so, and that is checked.
  if (!output.empty()) return true;
  error = program + " wrote nothing (exit status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) +
          "): the cluster cannot be reached";
  return false;
}

bool ReadLinks(const std::string& corosyncConf, std::vector<CorosyncNode>& links, std::string& error) {
  if (corosyncConf.empty()) return true;
  std::string text;
  if (!ReadFile(corosyncConf, text)) {
    error = corosyncConf + ": cannot read: " + std::strerror(errno);
    return false;
  }
  if (ParseCorosyncNodes(text, links, error)) return true;
  error = corosyncConf + ": " + error;
  return false;
}

// The model of CIB text: crm_mon on a private copy of it, so that the status and the
// configuration come from the same state.
bool SnapshotOfCibText(const std::string& cib, ClusterModel& model, std::string& error,
                       std::vector<std::string>& warnings, const std::string& corosyncConf) {
  std::vector<CorosyncNode> links;
  if (!ReadLinks(corosyncConf, links, error)) return false;
  ScratchFile copy;
  if (!copy.Ok() || !WriteFile(copy.Path(), cib)) {
    error = "cannot write a private copy under $TMPDIR";
    return false;
  }
  std::string monitor;
  if (!RunTool(Tool("PCMKCLUS_CRM_MON", "crm_mon"), {"--output-as=xml"}, copy.Path(), monitor, error)) return false;
  if (!BuildModel(monitor, cib, model, error, warnings)) return false;
  AddCorosyncLinks(links, model, warnings);
  return true;
}

// The model follows `next`: a group the new state places nowhere stays on its owner, a
// new one goes to its first preferred owner.
void Follow(ClusterModel& model, ClusterModel& next, Notifications& out) {
  for (const clustersim::ObjectId id : next.List(clustersim::Kind::Group)) {
    clustersim::Object* group = next.Get(id);
    if (group->node) continue;
    const clustersim::Object* known = model.Find(clustersim::Kind::Group, group->name);
    const clustersim::Object* owner = known ? model.Get(known->node) : nullptr;
    const clustersim::Object* same = owner ? next.Find(clustersim::Kind::Node, owner->name) : nullptr;
    if (same) group->node = same->id;
  }
  PlaceUnownedGroups(next);
  model.Reconcile(next, out);
}

}  // namespace

bool SnapshotOfCibFile(const std::string& path, ClusterModel& model, std::string& error,
                       std::vector<std::string>& warnings, const std::string& corosyncConf) {
  std::string cib;
  if (!ReadFile(path, cib)) {
    error = "cannot read: " + std::string(std::strerror(errno));
    return false;
  }
  return SnapshotOfCibText(cib, model, error, warnings, corosyncConf);
}

bool SnapshotOfLiveCib(ClusterModel& model, std::string& error, std::vector<std::string>& warnings,
                       const std::string& corosyncConf, std::string* version) {
  std::string cib;
  if (!RunTool(Tool("PCMKCLUS_CIBADMIN", "cibadmin"), {"--query"}, "", cib, error)) return false;
  if (version) *version = CibVersion(cib);
  return SnapshotOfCibText(cib, model, error, warnings, corosyncConf);
}

std::string LiveCibVersion() {
  std::string cib, error;
  if (!RunTool(Tool("PCMKCLUS_CIBADMIN", "cibadmin"), {"--query", "--xpath", "/cib", "--no-children"}, "", cib, error)) {
    return std::string();
  }
  return CibVersion(cib);
}

bool FollowCibFile(const std::string& path, ClusterModel& model, Notifications& out, const LogFunction& log,
                   const std::string& corosyncConf) {
  ClusterModel next;
  std::string error;
  std::vector<std::string> warnings;
  if (!SnapshotOfCibFile(path, next, error, warnings, corosyncConf)) {
    log(path + ": " + error + "; serving the last good state");
    return false;
  }
  for (const auto& warning : warnings) log(path + ": warning: " + warning);
  Follow(model, next, out);
  return true;
}

CibFileSource::CibFileSource(std::string path, std::string corosyncConf, std::chrono::milliseconds quiet,
                             std::chrono::milliseconds poll)
    : path_(std::move(path)), corosyncConf_(std::move(corosyncConf)), quiet_(quiet), poll_(poll) {
  inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  const auto slash = path_.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
  // Watching the directory sees a file replaced by rename as well as one rewritten.
  if (inotify_ >= 0 && inotify_add_watch(inotify_, dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE) < 0) {
    close(inotify_);
    inotify_ = -1;
  }
}

CibFileSource::~CibFileSource() {
  if (inotify_ >= 0) close(inotify_);
}

CibFileSource::Stamp CibFileSource::StampOf() const {
  struct stat st {};
  if (stat(path_.c_str(), &st) != 0) return Stamp{};
  return Stamp{static_cast<long long>(st.st_ino), static_cast<long long>(st.st_size),
               static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
}

bool CibFileSource::Load(ClusterModel& model, std::string& error, const LogFunction& log) {
  std::vector<std::string> warnings;
  seen_ = StampOf();
  if (!SnapshotOfCibFile(path_, model, error, warnings, corosyncConf_)) {
    error = path_ + ": " + error;
    return false;
  }
  for (const auto& warning : warnings) log(path_ + ": warning: " + warning);
  PlaceUnownedGroups(model);
  nextPoll_ = Clock::now() + poll_;
  if (inotify_ < 0) log("cannot watch the directory of " + path_ + ": checking it every " + std::to_string(poll_.count()) + " ms");
  return true;
}

int CibFileSource::TimeoutMs() const {
  const auto until = pending_ ? due_ : nextPoll_;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, poll_.count()));
}

bool CibFileSource::DrainEvents() {
  const auto slash = path_.rfind('/');
  const std::string name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
  bool ours = false;
  alignas(inotify_event) char buffer[8192];
  for (;;) {
    const ssize_t n = read(inotify_, buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len && name == event->name) ours = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return ours;
}

void CibFileSource::Update(ClusterModel& model, Notifications& out, const LogFunction& log) {
  const auto now = Clock::now();
  if (inotify_ >= 0 && DrainEvents()) {
    // Wait for the writer to finish its burst.
    pending_ = true;
    due_ = now + quiet_;
    return;
  }
  if (!pending_ && now >= nextPoll_) {
    nextPoll_ = now + poll_;
    if (StampOf() != seen_) {
      pending_ = true;
      due_ = now + quiet_;
    }
  }
  if (!pending_ || now < due_) return;
  pending_ = false;
  const Stamp stamp = StampOf();
  if (stamp == Stamp{}) {
    log(path_ + ": gone; serving the last good state until it is back");
    seen_ = stamp;
    return;
  }
  seen_ = stamp;
  FollowCibFile(path_, model, out, log, corosyncConf_);
}

bool CibFileSource::Command(const std::vector<std::wstring>& argv, ClusterModel& model, Notifications& out,
                            std::string& message, bool& ok, const LogFunction& log) {
  if (argv.empty() || !winapi::EqualsNoCase(argv[0], L"reload")) return false;
  seen_ = StampOf();
  pending_ = false;
  ok = FollowCibFile(path_, model, out, log, corosyncConf_);
  message = ok ? "reloaded " + path_ + ": " + std::to_string(out.size()) + " notification(s)"
               : path_ + " cannot be read; the last good state stays";
  return true;
}

ReplaySource::ReplaySource(std::string directory, std::chrono::milliseconds interval)
    : directory_(std::move(directory)), interval_(interval) {}

bool ReplaySource::Load(ClusterModel& model, std::string& error, const LogFunction& log) {
  DIR* dir = opendir(directory_.c_str());
  if (!dir) {
    error = directory_ + ": " + std::strerror(errno);
    return false;
  }
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".xml") == 0) states_.push_back(name);
  }
  closedir(dir);
  std::sort(states_.begin(), states_.end());
  if (states_.empty()) {
    error = directory_ + ": no CIB states (*.xml)";
    return false;
  }
  std::vector<std::string> warnings;
  const std::string first = directory_ + "/" + states_.front();
  struct stat st {};
  if (stat((directory_ + "/corosync.conf").c_str(), &st) == 0) corosyncConf_ = directory_ + "/corosync.conf";
  if (!SnapshotOfCibFile(first, model, error, warnings, corosyncConf_)) {
    error = first + ": " + error;
    return false;
  }
  for (const auto& warning : warnings) log(first + ": warning: " + warning);
  PlaceUnownedGroups(model);
  due_ = Clock::now() + interval_;
  log("replaying " + std::to_string(states_.size()) + " states, at " + Position());
  return true;
}

std::string ReplaySource::Position() const {
  return "state " + std::to_string(current_ + 1) + "/" + std::to_string(states_.size()) + " " + states_[current_];
}

int ReplaySource::TimeoutMs() const {
  if (interval_.count() == 0 || current_ + 1 >= states_.size()) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due_ - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, interval_.count()));
}

void ReplaySource::Update(ClusterModel& model, Notifications& out, const LogFunction& log) {
  if (interval_.count() == 0 || current_ + 1 >= states_.size() || Clock::now() < due_) return;
  std::string message;
  Step(model, out, message, log);
}

bool ReplaySource::Step(ClusterModel& model, Notifications& out, std::string& message, const LogFunction& log) {
  due_ = Clock::now() + interval_;
  if (current_ + 1 >= states_.size()) {
    message = "at the last state already (" + Position() + ")";
    return false;
  }
  ++current_;
  // A state that cannot be read is passed over: the next step goes on from it.
  const bool read = FollowCibFile(directory_ + "/" + states_[current_], model, out, log, corosyncConf_);
  message = Position() + (read ? ": " + std::to_string(out.size()) + " notification(s)" : ": unreadable, last good state kept");
  log(message);
  return true;
}

bool ReplaySource::Command(const std::vector<std::wstring>& argv, ClusterModel& model, Notifications& out,
                           std::string& message, bool& ok, const LogFunction& log) {
  if (argv.empty()) return false;
  if (winapi::EqualsNoCase(argv[0], L"replay")) {
    ok = true;
    message = Position();
    return true;
  }
  if (!winapi::EqualsNoCase(argv[0], L"step")) return false;
  ok = Step(model, out, message, log);
  return true;
}

LiveSource::LiveSource(std::string corosyncConf, std::chrono::milliseconds quiet, std::chrono::milliseconds poll,
                       unsigned retrySeconds)
    : corosyncConf_(std::move(corosyncConf)),
      quiet_(quiet),
      poll_(poll),
      retry_(std::chrono::seconds(retrySeconds)),
      watch_(retrySeconds) {}

bool LiveSource::Load(ClusterModel& model, std::string& error, const LogFunction& log) {
  if (!watch_.Start(error)) return false;
  Notifications ignored;
  if (!Snapshot(model, ignored, log)) log("waiting for the cluster");
  return true;
}

int LiveSource::TimeoutMs() const {
  const auto until = pending_ ? due_ : nextPoll_;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, poll_.count()));
}

bool LiveSource::Snapshot(ClusterModel& model, Notifications& out, const LogFunction& log) {
  pending_ = false;
  ClusterModel next;
  std::string error;
  std::vector<std::string> warnings;
  const bool read = SnapshotOfLiveCib(next, error, warnings, corosyncConf_, &version_);
  // While the cluster cannot be read it is tried more often, to be back soon.
  nextPoll_ = Clock::now() + (read ? poll_ : retry_);
  if (!read) {
    if (reachable_ || error != lastError_) log("the cluster cannot be read: " + error);
    lastError_ = error;
    reachable_ = false;
    return false;
  }
  for (const auto& warning : warnings) log("warning: " + warning);
  if (!reachable_) log("the cluster can be read");
  lastError_.clear();
  reachable_ = true;
  Follow(model, next, out);
  return true;
}

void LiveSource::Update(ClusterModel& model, Notifications& out, const LogFunction& log) {
  const auto now = Clock::now();
  const bool connected = watch_.Connected();
  if (watch_.Acknowledge() || connected != connected_) {
    if (connected != connected_) log(connected ? "connected to the CIB" : "the connection to the CIB is lost");
    // A burst of updates is one snapshot, but a steady stream of them does not hold it
    // back for more than a few quiet periods.
    if (!pending_) firstEvent_ = now;
    pending_ = true;
    due_ = std::min(now + quiet_, firstEvent_ + 4 * quiet_);
    // A lost connection is read at once: the stack may be gone.
    if (!connected && connected_) due_ = now;
    connected_ = connected;
  }
  if (!pending_ && now >= nextPoll_) {
    // The safety net costs one small query while nothing changed: a snapshot of a large
    // cluster costs seconds of crm_mon.
    const std::string version = reachable_ ? LiveCibVersion() : std::string();
    nextPoll_ = now + poll_;
    if (version.empty() || version != version_) {
      pending_ = true;
      due_ = now;
    }
  }
  if (pending_ && now >= due_) Snapshot(model, out, log);
}

bool LiveSource::Command(const std::vector<std::wstring>& argv, ClusterModel& model, Notifications& out,
                         std::string& message, bool& ok, const LogFunction& log) {
  if (argv.empty() || !winapi::EqualsNoCase(argv[0], L"reload")) return false;
  ok = Snapshot(model, out, log);
  message = ok ? "read the cluster: " + std::to_string(out.size()) + " notification(s)" : "the cluster cannot be read";
  return true;
}

}  // namespace pcmkclus
