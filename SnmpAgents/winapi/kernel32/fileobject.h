// File handles: a host file descriptor in the shared handle table.
#pragma once
#include <windows.h>

#include <memory>
#include <string>

#include "handles.h"

namespace winapi {

class FileObject : public KernelObject {
 public:
  FileObject(int fd, bool canRead, bool canWrite, std::string hostPath, bool ownsDescriptor);
  ~FileObject() override;
  FileObject(const FileObject&) = delete;
  FileObject& operator=(const FileObject&) = delete;

  const char* TypeName() const override { return "File"; }
  int Descriptor() const { return fd_; }
  bool CanRead() const { return canRead_; }
  bool CanWrite() const { return canWrite_; }
  const std::string& HostPath() const { return hostPath_; }
  void DeleteOnClose() { deleteOnClose_ = true; }

 private:
  int fd_;
  bool canRead_;
  bool canWrite_;
  std::string hostPath_;
  bool ownsDescriptor_;
  bool deleteOnClose_ = false;
};

std::shared_ptr<FileObject> LookupFile(HANDLE handle);

// ERROR_PATH_NOT_FOUND when the parent directory is missing, else ERROR_FILE_NOT_FOUND.
DWORD NotFoundError(const std::string& hostPath);

}  // namespace winapi
