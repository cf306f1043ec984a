#pragma once

// A folder served through the tests' own FUSE file system (gw_testfs; see
// TestFileSystemServer.cpp), with the faults of slow shares and of names that change under the
// program made to order.

#include <string>
#include <sys/types.h>
#include <vector>

namespace gwtest {

class TestFileSystem {
  public:
    /// Serves the files of `folder` under a new mount point, with gw_testfs's `options` (such as
    /// {"--rate", "400000", "--fifo-after-open", "a.jpg=2"}). Waits until it is mounted; mounted()
    /// says whether it could be, and why() why not (no FUSE on this machine, or not for this user).
    TestFileSystem(const std::string& folder, const std::vector<std::string>& options = {});
    ~TestFileSystem();
    TestFileSystem(const TestFileSystem&) = delete;
    TestFileSystem& operator=(const TestFileSystem&) = delete;

    bool mounted() const { return pid_ > 0; }
    const std::string& why() const { return why_; }
    /// The path of `name` under the mount point.
    std::string file(const std::string& name) const { return mountPoint_ + "/" + name; }

  private:
    std::string mountPoint_;
    std::string why_;
    pid_t pid_ = -1;
};

} // namespace gwtest
