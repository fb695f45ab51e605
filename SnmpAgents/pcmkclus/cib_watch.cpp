#include "cib_watch.h"

#include <crm/cib.h>
#include <crm/common/results.h>
#include <glib.h>
#include <libxml/parser.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>

namespace pcmkclus {

namespace {

// libcib's callbacks carry no user data: the one watch of the process is reached here.
std::mutex gWatchLock;
CibWatch* gWatch = nullptr;
int gEvent = -1;
std::atomic<bool>* gConnected = nullptr;
std::atomic<unsigned long long>* gChanges = nullptr;

void Signal() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(gEvent, &one, sizeof one);
}

void OnDiff(const char* /*event*/, xmlNode* /*message*/) {
  gChanges->fetch_add(1);
  Signal();
}

struct Connection {
  cib_t* cib = nullptr;
  bool up = false;
};
Connection gConnection;  // used on the watch thread only

void OnConnectionLost(gpointer /*data*/) {
  gConnection.up = false;
  gConnected->store(false);
  Signal();
}

bool Connect() {
  if (!gConnection.cib) gConnection.cib = cib_new();
  if (!gConnection.cib) return false;
  cib_t* cib = gConnection.cib;
  if (cib->cmds->signon(cib, "pcmkclusd", cib_query) != pcmk_ok) return false;
  if (cib->cmds->add_notify_callback(cib, T_CIB_DIFF_NOTIFY, OnDiff) != pcmk_ok ||
      cib->cmds->set_connection_dnotify(cib, OnConnectionLost) != pcmk_ok) {
    cib->cmds->signoff(cib);
    return false;
  }
  gConnection.up = true;
  gConnected->store(true);
  Signal();
  return true;
}

void Disconnect() {
  if (!gConnection.cib) return;
  if (gConnection.up) gConnection.cib->cmds->signoff(gConnection.cib);
  cib_delete(gConnection.cib);
  gConnection = Connection{};
}

gboolean Retry(gpointer /*data*/) {
  if (gConnection.up) return G_SOURCE_CONTINUE;
  // A connection that went away is made anew: libcib keeps state of the old one.
  Disconnect();
  Connect();
  return G_SOURCE_CONTINUE;
}

}  // namespace

CibWatch::CibWatch(unsigned retrySeconds) : retrySeconds_(retrySeconds) {
  event_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

CibWatch::~CibWatch() {
  if (thread_.joinable()) {
    stop_.store(true);
    thread_.join();
  }
  {
    std::lock_guard<std::mutex> lock(gWatchLock);
    if (gWatch == this) gWatch = nullptr;
  }
  if (event_ >= 0) close(event_);
}

bool CibWatch::Start(std::string& error) {
  if (event_ < 0) {
    error = "cannot make an eventfd";
    return false;
  }
  std::lock_guard<std::mutex> lock(gWatchLock);
  if (gWatch) {
    error = "a CIB watch runs already in this process";
    return false;
  }
  // libxml2 is used by libcib on the watch thread and by the snapshots on the server's:
  // its global state must be set up before a second thread exists.
  xmlInitParser();
  gWatch = this;
  gEvent = event_;
  gConnected = &connected_;
  gChanges = &changes_;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void CibWatch::Run() {
  try {
    struct Stop {
      GMainLoop* loop;
      std::atomic<bool>* flag;
    };
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    Stop stop{loop, &stop_};
    // The loop looks at the stop flag itself: a quit from outside could come before it runs.
    const guint checker = g_timeout_add(
        100,
        [](gpointer data) -> gboolean {
          auto* s = static_cast<Stop*>(data);
          if (s->flag->load()) g_main_loop_quit(s->loop);
          return G_SOURCE_CONTINUE;
        },
        &stop);
    Connect();
    const guint retry = g_timeout_add_seconds(retrySeconds_, Retry, nullptr);
    g_main_loop_run(loop);
    g_source_remove(retry);
    g_source_remove(checker);
    Disconnect();
    g_main_loop_unref(loop);
  } catch (...) {
    // The server goes on with its periodic poll.
    connected_.store(false);
  }
}

bool CibWatch::Acknowledge() {
  std::uint64_t count = 0;
  return read(event_, &count, sizeof count) == static_cast<ssize_t>(sizeof count) && count > 0;
}

}  // namespace pcmkclus
