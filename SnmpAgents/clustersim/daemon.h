// What every cluster service daemon does before it serves: it installs itself as
// "ClusSvc" for the layer's service control manager and knows its pid file.
#pragma once
#include <string>

namespace clustersim {

// Installs the service key, so that the service control manager knows "ClusSvc".
bool RegisterClusterService(const std::string& image, std::string& error);
// The pid file the layer reads for "ClusSvc"; empty when there is none.
std::string ClusterServicePidFile();
// This executable's path, for the service key.
std::string SelfPath(const char* argv0);
// The control socket: $CLUSSIM_CONTROL_SOCKET or <state>/run/clussim.sock.
std::string DefaultControlSocket();

}  // namespace clustersim
