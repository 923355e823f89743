#ifndef TQBLK_TOOLS_IMAGE_COMMANDS_H
#define TQBLK_TOOLS_IMAGE_COMMANDS_H

// The commands of tqblk-image. Each returns the tool's exit status and prints its own
// messages ("tqblk-image: COMMAND: Couldn't ...") on stderr.

#include "Digest.h"
#include "Objects.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace imagetool {

struct PushArgs {
    std::string image;  // the file or block device read
    std::string root;   // the image root published to
    std::string name;   // the manifest's name; the image's base name when empty
    long long extentSize = 0;
    int level = 3;
    int jobs = 0;  // 0: threadsFor()
    bool json = false;
    bool repair = false;  // check the chunks at the root already, replace those that fail
};

struct InspectArgs {
    std::string location;  // ROOT/manifests/NAME
    int jobs = 0;
    bool json = false;
};

int push(const PushArgs& args, const tqimage::ObjectOptions& options);
int info(const InspectArgs& args, const tqimage::ObjectOptions& options);
int verify(const InspectArgs& args, const tqimage::ObjectOptions& options);

// Opens the image root for command, or prints why not and returns null.
std::unique_ptr<tqimage::Objects> openRoot(const char* command, const std::string& root,
                                           const tqimage::ObjectOptions& options);

// The threads a command runs: jobs when given, else four per CPU (at least 8).
int threadsFor(int jobs);

// Fetches the chunk of digest from root into *chunk, checks its stored length (unless length
// is 0) and decodes it into out (the extent's size), checked against the digest. Returns 0,
// ENOENT when the root lacks it, EBADMSG with *detail when it is bad, or the fetch's errno.
int checkChunk(tqimage::Objects& root, const tqimage::Digest& digest, uint32_t length,
               std::vector<char>& out, std::string* chunk, std::string* detail);

// Whether stderr is a terminal that may show a progress line.
bool showProgress();

// Prints "tqblk-image: COMMAND: TEXT" on stderr (clearing a progress line first).
void complain(const char* command, const std::string& text);

// "12.5 MiB" style.
std::string mebibytes(long long bytes);

// While it lives, SIGINT and SIGTERM stop the command rather than kill it: stopped() turns
// true and the root's transfers end (ECANCELED), so that a push leaves whole chunks only.
class StopOnSignal {
  public:
    explicit StopOnSignal(tqimage::Objects& root);
    ~StopOnSignal();
    bool stopped() const { return m_stopped; }

  private:
    std::atomic<bool> m_stopped{false};
    std::atomic<bool> m_ending{false};
    std::thread m_thread;
};

// The root as messages name it (credentials left out).
std::string shownRoot(const tqimage::Objects& root);

// A progress line on stderr while a command runs, when that is a terminal: bytes done of
// the total and the rate so far. Cleared when it ends.
class Progress {
  public:
    Progress(const char* command, long long total);
    ~Progress();
    void add(long long bytes) { m_done += bytes; }

  private:
    void show();

    const std::string m_command;
    const long long m_total;
    const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    std::atomic<long long> m_done{0};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_ending = false;
    std::thread m_thread;
};

}  // namespace imagetool

#endif
