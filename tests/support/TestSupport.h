#ifndef TQBLK_TESTS_TESTSUPPORT_H
#define TQBLK_TESTS_TESTSUPPORT_H

#include <zyutils/ZyError.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace tqtest {

// A fresh directory below $TMPDIR (or /tmp), removed with all it holds in the destructor.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

// Removes a tree, links not followed; a missing path is fine.
void RemoveTree(const std::string& path);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool IsDirectory(const std::string& path);
bool PathExists(const std::string& path);                   // the entry itself, links not followed
std::vector<std::string> ListDir(const std::string& path);  // sorted, without . and ..

// Checks the errno and the whole list of messages (innermost first) of an error.
::testing::AssertionResult HasError(const CZyError& err, int errnoValue,
                                    const std::vector<std::string>& messages);

// Runs body in a child process that has dropped to an unprivileged user and returns what
// the body returned (empty for "all as expected"), or a text saying how the child failed.
std::string RunUnprivileged(const std::function<std::string()>& body);

// Runs body as RunUnprivileged does, but as root in a mount namespace of its own whose
// mounts are private, so that what the body mounts never shows outside.
std::string RunInPrivateMounts(const std::function<std::string()>& body);

// What a shell command left: its exit status (-1 unless it exited) and its standard output.
struct CommandRun {
    int status = -1;
    std::string out;
};

// Runs command through the shell (arguments already quoted), capturing its standard output.
CommandRun RunCommand(const std::string& command);

// A name of n characters.
inline std::string Repeat(char c, size_t n) {
    return std::string(n, c);
}

}  // namespace tqtest

#define EXPECT_OK(expr)                                                      \
    do {                                                                     \
        CZyError tqtest_err_ = (expr);                                       \
        EXPECT_FALSE(tqtest_err_.IsError()) << tqtest_err_.GetDescription(); \
    } while (0)

#define ASSERT_OK(expr)                                                      \
    do {                                                                     \
        CZyError tqtest_err_ = (expr);                                       \
        ASSERT_FALSE(tqtest_err_.IsError()) << tqtest_err_.GetDescription(); \
    } while (0)

#endif
