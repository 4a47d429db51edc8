#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "runtime/error.h"

namespace lumewell::app {

// The primary instance's claim on its data folder: an exclusive flock on "host.lock" in it,
// held until this object goes (or the process ends). Not inherited by the processes this one
// starts, so a relaunched instance can take it once this one has exited.
class DataFolderLock {
 public:
  // Takes the lock, retrying for up to `patience` while another process holds it (zero: one
  // attempt). Creates the folder (0700) and the lock file (0600) when missing. A held lock
  // is an error of code EWOULDBLOCK whose description names the folder and the holder's pid;
  // other codes say that the folder cannot be locked at all.
  static Result<std::unique_ptr<DataFolderLock>> acquire(const std::string& folder,
                                                         std::chrono::milliseconds patience);
  ~DataFolderLock();
  DataFolderLock(const DataFolderLock&) = delete;
  DataFolderLock& operator=(const DataFolderLock&) = delete;

 private:
  explicit DataFolderLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace lumewell::app
