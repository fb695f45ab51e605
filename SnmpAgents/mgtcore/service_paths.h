// Where mgtcore is found: the pid file that the layer's service control manager reads for
// "MgtCore", and the socket of RELAY beside it.
#pragma once
#include <string>

namespace mgtcore {

// <state>/run/MgtCore.pid
std::string PidFile();
// <state>/run/MgtCore.sock, unless --socket says otherwise.
std::string DefaultSocket();

}  // namespace mgtcore
