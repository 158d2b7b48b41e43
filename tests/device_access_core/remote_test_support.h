// Helpers of the remote transport's tests: a bare remote handle and scoped environment variables
// (the capture of standard output or error is the namespace fixture's CapturedStream).
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

}  // namespace remote_test
