// Helpers of the remote transport's tests: a bare remote handle, scoped environment variables,
// and the capture of what a piece of code writes to standard output or standard error.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "fake_system.h"
#include "mtcr_int.h"
#include "remote.h"

namespace remote_test {

// A zero-filled remote handle as the open makes it before the protocol runs; the destructor says
// goodbye to the server when still connected.
class RemoteHandle {
 public:
  RemoteHandle() : mf_(static_cast<mfile*>(calloc(1, sizeof(mfile)))) {
    if (!mf_) throw std::bad_alloc();
    mf_->access_type = ACCESS_REMOTE;
    mf_->is_remote = 1;
    mf_->sock_fd = -1;
  }
  ~RemoteHandle() {
    if (mf_->remote.connected || mf_->remote.ssh_ctx) mclose_remote(mf_);
    free(mf_);
  }
  RemoteHandle(const RemoteHandle&) = delete;
  RemoteHandle& operator=(const RemoteHandle&) = delete;
  mfile* get() const { return mf_; }
  mfile* operator->() const { return mf_; }

 private:
  mfile* mf_;
};

// Scoped environment variables are the namespace fixture's.
using vexil_test::ScopedEnv;

// Collects what is written to a descriptor (1 or 2, stdio buffers included) for the scope.
class FdCapture {
 public:
  explicit FdCapture(int fd) : fd_(fd) {
    fflush(stdout);
    fflush(stderr);
    file_ = tmpfile();
    saved_ = dup(fd);
    if (!file_ || saved_ < 0 || dup2(fileno(file_), fd) < 0)
      throw std::runtime_error("cannot redirect a descriptor");
  }
  ~FdCapture() { finish(); }
  FdCapture(const FdCapture&) = delete;
  FdCapture& operator=(const FdCapture&) = delete;

  std::string finish() {
    if (!file_) return text_;
    fflush(stdout);
    fflush(stderr);
    dup2(saved_, fd_);
    close(saved_);
    rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), file_)) > 0) text_.append(buf, n);
    fclose(file_);
    file_ = nullptr;
    return text_;
  }

 private:
  int fd_;
  FILE* file_ = nullptr;
  int saved_ = -1;
  std::string text_;
};

}  // namespace remote_test
