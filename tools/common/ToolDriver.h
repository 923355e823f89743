#ifndef TQBLK_TOOLS_TOOLDRIVER_H
#define TQBLK_TOOLS_TOOLDRIVER_H

// The driver as the tools reach it: the library's own admin node unless --admin-node or
// TQBLK_ADMIN_NODE names another (an emulator mounted elsewhere than /dev/tqblk). The
// library itself keeps its fixed node; only these programs take another path.

#include <tqblk/unix/TqBlkDriverUnix.h>
#include <tqblk/unix/tqblk_admin.h>

#include <string>

namespace tqtools {

constexpr const char* kAdminNodeVariable = "TQBLK_ADMIN_NODE";

class ToolDriver : public TqBlkDriverUnix {
  public:
    // An empty path means the library's node.
    explicit ToolDriver(std::string node = "") : m_node(std::move(node)) {}

    CZyError open() override { return openNode(path().c_str()); }
    std::string path() const { return m_node.empty() ? std::string(TQBLK_ADMIN_NODE) : m_node; }

  private:
    std::string m_node;
};

}  // namespace tqtools

#endif
