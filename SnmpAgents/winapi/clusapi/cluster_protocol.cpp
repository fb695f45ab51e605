#include "cluster_protocol.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "descriptors.h"
#include "paths.h"

namespace winapi::cluster {

namespace {

struct KindRow {
  Kind kind;
  const char* name;
  DWORD objectType;  // top byte of its CLUSCTL codes
  DWORD enumType;
};

constexpr std::array<KindRow, 6> kKinds = {{
    {Kind::Node, "node", CLUS_OBJECT_NODE, CLUSTER_ENUM_NODE},
    {Kind::Group, "group", CLUS_OBJECT_GROUP, CLUSTER_ENUM_GROUP},
    {Kind::Resource, "resource", CLUS_OBJECT_RESOURCE, CLUSTER_ENUM_RESOURCE},
    {Kind::ResourceType, "restype", CLUS_OBJECT_RESOURCE_TYPE, CLUSTER_ENUM_RESTYPE},
    {Kind::Network, "network", CLUS_OBJECT_NETWORK, CLUSTER_ENUM_NETWORK},
    {Kind::NetInterface, "netinterface", CLUS_OBJECT_NETINTERFACE, CLUSTER_ENUM_NETINTERFACE},
}};

const KindRow& RowOf(Kind kind) {
  for (const auto& row : kKinds) {
    if (row.kind == kind) return row;
  }
  return kKinds[0];
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

const char* KindName(Kind kind) { return RowOf(kind).name; }

bool KindFromName(std::string_view name, Kind& kind) {
  for (const auto& row : kKinds) {
    if (name == row.name) {
      kind = row.kind;
      return true;
    }
  }
  return false;
}

bool KindOfControlCode(DWORD code, Kind& kind) {
  for (const auto& row : kKinds) {
    if ((code >> 24) == row.objectType) {
      kind = row.kind;
      return true;
    }
  }
  return false;
}

DWORD EnumTypeOf(Kind kind) { return RowOf(kind).enumType; }

std::string ServiceSocketPath() {
  const char* path = std::getenv("WINAPI_CLUSTER_SOCKET");
  if (path && *path) return path;
  return StateDir() + "/run/clussvc.sock";
}

std::string HexEncode(const void* data, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 15]);
  }
  return text;
}

bool HexDecode(std::string_view text, std::vector<BYTE>& bytes) {
  if (text.size() % 2) return false;
  bytes.clear();
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<BYTE>(high * 16 + low));
  }
  return true;
}

LineBuffer::Result LineBuffer::Next(std::string& line) {
  std::string_view view;
  const Result result = Next(view);
  if (result == Result::Line) line.assign(view);
  return result;
}

LineBuffer::Result LineBuffer::Next(std::string_view& line) {
  // Drop the lines already taken (the caller's last view with them): at once when
  // nothing else is left, so a buffer that carries one line at a time stays small and
  // never moves bytes, otherwise once they dominate.
  if (start_ == data_.size()) {
    data_.clear();
    start_ = scanned_ = 0;
  } else if (start_ > 65536 && start_ * 2 > data_.size()) {
    data_.erase(0, start_);
    scanned_ -= start_;
    start_ = 0;
  }
  const std::size_t end = data_.find('\n', scanned_);
  if (end == std::string::npos) {
    scanned_ = data_.size();
    if (data_.size() - start_ > maxLine_) return Result::TooLong;
    return Result::NeedMore;
  }
  if (end - start_ > maxLine_) return Result::TooLong;
  line = std::string_view(data_).substr(start_, end - start_);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  start_ = end + 1;
  scanned_ = start_;
  return Result::Line;
}

bool SendAll(int fd, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteLine(int fd, std::string_view line) {
  std::string framed(line);
  framed.push_back('\n');
  return SendAll(fd, framed);
}

int ConnectUnix(const std::string& path) { return ConnectUnixSocket(path); }

}  // namespace winapi::cluster
