// tqblk-recalld as an operator runs it beside the emulator: it refuses a source shorter
// than the device unless told, survives SIGHUP, keeps its stats file current while it
// serves, tqblk-ctl status reads that file with the driver's and the stores' state, and its
// syslog and journal logs reach the sockets those daemons listen on.

#include "RoadFixture.h"
#include <tqsys/UniqueFd.h>

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

namespace roadtest {
namespace {

constexpr long long kKiB = 1024;

class RecalldOperatorTest : public RoadTest {
  protected:
    void TearDown() override {
        m_service.stop();
        RoadTest::TearDown();
    }

    std::vector<std::string> serviceArgs(const std::string& image,
                                         std::vector<std::string> more = {}) const {
        std::vector<std::string> args = {TQBLK_RECALLD_PATH, "--uuid",  m_uuid, "--recall-store",
                                         m_recall->getDir(), "--image", image,  "--no-sync"};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }

    std::string log() const { return tqtest::ReadFile(m_temp / "service.log"); }

    bool waitFor(const std::function<bool()>& done) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    bool waitForLog(const std::string& text) const {
        return waitFor([&] { return log().find(text) != std::string::npos; });
    }

    // The stats file parsed, or null while it is missing (never torn: it is renamed in).
    nlohmann::json stats(const std::string& path) const {
        std::ifstream in(path);
        if (!in)
            return nullptr;
        nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << "a torn stats file";
        return j;
    }

    // Runs tqblk-ctl to its end; returns its exit status, its output in *out.
    int ctl(const std::vector<std::string>& args, std::string* out) {
        std::vector<std::string> argv = {TQBLK_CTL_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        tqharness::ChildProcess child;
        const std::string path = m_temp / "ctl.out";
        ::unlink(path.c_str());
        EXPECT_EQ(child.start(argv, path), "");
        int status = child.waitExit(std::chrono::seconds(20));
        *out = tqtest::ReadFile(path);
        return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    tqharness::ChildProcess m_service;
};

TEST_F(RecalldOperatorTest, AnImageShorterThanTheDeviceIsRefusedWithTheNumbersUnlessAllowed) {
    makeDevice("dev", 512 * kKiB, 4 * kKiB, 64 * kKiB);
    std::string image = makeImage(200 * kKiB);
    ASSERT_EQ(m_service.start(serviceArgs(image), m_temp / "service.log"), "");
    int status = m_service.waitExit(std::chrono::seconds(20));
    ASSERT_TRUE(status != -1 && WIFEXITED(status)) << log();
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::string text = log();
    EXPECT_NE(text.find("error: the image " + image +
                        " holds 204800 bytes, less than the "
                        "device's 524288"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("extent size 65536"), std::string::npos) << text;
    EXPECT_NE(text.find("--allow-short-source"), std::string::npos) << text;
    EXPECT_EQ(text.find("serving recall requests"), std::string::npos) << text;

    ASSERT_EQ(m_service.start(serviceArgs(image, {"--allow-short-source"}), m_temp / "service.log"),
              "");
    ASSERT_TRUE(waitForLog("serving recall requests")) << log();
    // Past the image's end the device reads zeros, as the operator allowed.
    std::pair<int, std::vector<char>> read = finish(startRead(5 * 64 * kKiB, 100));
    EXPECT_EQ(read.first, 0);
    EXPECT_EQ(read.second, std::vector<char>(100, 0));
    EXPECT_EQ(m_service.stop(), 0);
}

TEST_F(RecalldOperatorTest, ASourceStoreOfAnotherGeometryIsRefusedWithBothStoresNumbers) {
    makeDevice("dev", 512 * kKiB, 4 * kKiB, 64 * kKiB);
    TqBlkBackingStore* larger = recallStore("larger", 1024 * kKiB, 64 * kKiB);
    std::vector<std::string> args = serviceArgs("unused");
    args[6] = larger->getDir();
    args[5] = "--source-store";
    ASSERT_EQ(m_service.start(args, m_temp / "service.log"), "");
    int status = m_service.waitExit(std::chrono::seconds(20));
    ASSERT_TRUE(status != -1 && WIFEXITED(status)) << log();
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(log().find("is of a larger device than the recall store (source store: device size "
                         "1048576 bytes, extent size 65536; recall store " +
                         m_recall->getDir() + ": device size 524288 bytes, extent size 65536)"),
              std::string::npos)
        << log();

    // The recall store as its own source would link extents onto themselves.
    args[6] = m_recall->getDir();
    ASSERT_EQ(m_service.start(args, m_temp / "service.log"), "");
    status = m_service.waitExit(std::chrono::seconds(20));
    ASSERT_TRUE(status != -1 && WIFEXITED(status)) << log();
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(log().find("is the recall store itself"), std::string::npos) << log();
}

TEST_F(RecalldOperatorTest, SighupIsLoggedAndTheServiceServesOn) {
    makeDevice("dev", 512 * kKiB, 4 * kKiB, 64 * kKiB);
    ASSERT_EQ(m_service.start(serviceArgs(makeImage(512 * kKiB)), m_temp / "service.log"), "");
    ASSERT_TRUE(waitForLog("serving recall requests")) << log();
    m_service.signal(SIGHUP);
    ASSERT_TRUE(waitForLog("SIGHUP received and ignored")) << log();
    EXPECT_EQ(m_service.waitExit(std::chrono::milliseconds(300)), -1) << "still running";
    expectPattern(startRead(2 * 64 * kKiB + 7, 3000));
    EXPECT_EQ(m_service.stop(), 0);
    // Each line carries a timestamp and a level.
    std::string first = log().substr(0, log().find('\n'));
    EXPECT_EQ(first.size() > 26 && first[4] == '-' && first[10] == 'T' && first[23] == 'Z', true)
        << first;
}

TEST_F(RecalldOperatorTest, TheStatsFileFollowsTheRoadAndCtlStatusReadsIt) {
    makeDevice("dev", 1024 * kKiB, 4 * kKiB, 64 * kKiB);
    placeExtent(m_recall, 15);
    const std::string statsPath = m_temp / "stats.json";
    ASSERT_EQ(m_service.start(serviceArgs(makeImage(1024 * kKiB), {"--stats-file", statsPath}),
                              m_temp / "service.log"),
              "");
    ASSERT_TRUE(waitForLog("serving recall requests")) << log();
    ASSERT_TRUE(waitFor([&] { return stats(statsPath).is_object(); }));
    for (long long extent : {1, 2, 9})
        expectPattern(startRead(extent * 64 * kKiB + 1, 64));
    // Written once a second: wait for the counters to catch up, never seeing a torn file.
    ASSERT_TRUE(waitFor([&] {
        nlohmann::json s = stats(statsPath);
        return s.is_object() && s["done"] == 3;
    })) << stats(statsPath).dump();
    nlohmann::json s = stats(statsPath);
    EXPECT_EQ(s["device"], "dev");
    EXPECT_EQ(s["state"], "serving");
    EXPECT_EQ(s["demand_recalls"], 3);
    EXPECT_EQ(s["in_flight"], 0);
    EXPECT_EQ(s["failed"], 0);
    EXPECT_EQ(s["bytes"], 3 * 64 * kKiB);
    EXPECT_EQ(s["extents_present"], 4);
    EXPECT_EQ(s["extent_count"], 16);
    // Without syncs none is counted; an image is never retried.
    EXPECT_EQ(s["file_syncs"], 0);
    EXPECT_EQ(s["remote_retries"], 0);
    for (const std::string& name : tqtest::ListDir(m_temp.path()))
        EXPECT_NE(name.rfind("stats.json.", 0), 0u) << "a temporary file left beside it";

    std::string out;
    ASSERT_EQ(ctl({"status", "dev", "--recall", m_recall->getDir(), "--stats", statsPath, "--json"},
                  &out),
              0)
        << out;
    nlohmann::json status = nlohmann::json::parse(out, nullptr, false);
    ASSERT_TRUE(status.is_object()) << out;
    EXPECT_EQ(status["device"], "dev");
    EXPECT_TRUE(status["ready"].is_boolean());
    EXPECT_TRUE(status["config"].is_number_integer());
    EXPECT_TRUE(status["mru_extents"].is_array());
    ASSERT_EQ(status["stores"].size(), 1u);
    EXPECT_EQ(status["stores"][0]["role"], "recall");
    EXPECT_EQ(status["stores"][0]["extents_present"], 4);
    EXPECT_EQ(status["stores"][0]["extent_count"], 16);
    EXPECT_EQ(status["service"]["done"], 3);
    ASSERT_EQ(ctl({"status", "dev", "--stats", statsPath}, &out), 0) << out;
    EXPECT_NE(out.find("demand recalls 3, in flight 0, done 3, failed 0"), std::string::npos)
        << out;

    // The service's last write says it stopped.
    EXPECT_EQ(m_service.stop(), 0);
    EXPECT_EQ(stats(statsPath)["state"], "stopped");
}

// The system refusing what the service asks: memory for an extent fails that recall; too few
// descriptors (none spare for the workers' store objects) or threads leave fewer workers, which
// the log counts right. It never aborts.
TEST_F(RecalldOperatorTest, RefusedMemoryDescriptorsAndThreadsFailARecallOrAWorkerNotTheService) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's runtime reserves more address space than these limits allow";
#endif
    const struct {
        const char* limit;
        const char* workers;
        long long extentKiB;  // 256 MiB: an extent of zeros, read into one buffer, and read
        const char* logged;
        const char* notLogged;
    } cases[] = {
        {"--as=402653184", "2", 256 * kKiB, "Not enough memory to bring in extent 0", nullptr},
        {"--nofile=6", "8", 64, "8 of 8 workers take no requests until", "with 8 workers"},
        {"--as=268435456", "64", 64, "the system refused more threads", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limit);
        const long long size = 2 * c.extentKiB * kKiB;
        makeDevice(std::string("dev") + c.workers, size, 4 * kKiB, static_cast<int>(size / 2));
        const std::string image = m_temp / "zeros";
        tqtest::WriteFile(image, "");
        ASSERT_EQ(::truncate(image.c_str(), size), 0);
        ::unlink((m_temp / "service.log").c_str());
        std::vector<std::string> args = {"/usr/bin/prlimit", c.limit, "--"};
        for (const std::string& arg : serviceArgs(image, {"--workers", c.workers}))
            args.push_back(arg);
        ASSERT_EQ(m_service.start(args, m_temp / "service.log"), "");
        ASSERT_TRUE(waitForLog("serving recall requests")) << log();
        if (c.extentKiB > 64) {
            EXPECT_NE(finish(startRead(100, 3000)).first, 0);
        }
        EXPECT_TRUE(waitForLog(c.logged)) << log();
        EXPECT_TRUE(c.notLogged == nullptr || log().find(c.notLogged) == std::string::npos)
            << log();
        EXPECT_EQ(m_service.stop(), 0) << log();
    }
}

TEST_F(RecalldOperatorTest, ItTellsSystemdItIsReadyOnlyOnceItServes) {
    makeDevice("dev", 512 * kKiB, 4 * kKiB, 64 * kKiB);
    const std::string socketPath = m_temp / "notify";
    int raw = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(raw, 0);
    tqsys::UniqueFd sock(raw);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(::bind(sock.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    ASSERT_EQ(m_service.start(serviceArgs(makeImage(512 * kKiB)), m_temp / "service.log",
                              {"NOTIFY_SOCKET=" + socketPath}),
              "");
    pollfd ready{sock.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 15000), 1) << "no notification; log:\n" << log();
    char message[256] = {};
    ASSERT_GT(::recv(sock.get(), message, sizeof message - 1, 0), 0);
    EXPECT_EQ(std::string(message), "READY=1");
    EXPECT_NE(log().find("serving recall requests"), std::string::npos) << log();
    expectPattern(startRead(64 * kKiB, 10));

    m_service.signal(SIGTERM);
    ASSERT_EQ(::poll(&ready, 1, 15000), 1);
    std::memset(message, 0, sizeof message);
    ASSERT_GT(::recv(sock.get(), message, sizeof message - 1, 0), 0);
    EXPECT_EQ(std::string(message), "STOPPING=1");
    EXPECT_EQ(m_service.stop(), 0);
}

// Started with umask 000, the service still makes extents no one else may rewrite; while it
// serves, no tqblk-ctl command removes anything from its store.
TEST_F(RecalldOperatorTest, AServedStoreIsRefusedToCtlAndItsExtentsAreNotWorldWritable) {
    makeDevice("dev", 512 * kKiB, 4 * kKiB, 64 * kKiB);
    const mode_t mask = ::umask(0);
    EXPECT_EQ(m_service.start(serviceArgs(makeImage(512 * kKiB)), m_temp / "service.log"), "");
    ::umask(mask);
    ASSERT_TRUE(waitForLog("serving recall requests")) << log();
    expectPattern(startRead(3 * 64 * kKiB, 10));
    std::string extent, out;
    struct stat st;
    ASSERT_OK(m_recall->getExtentFileName(3, &extent));
    ASSERT_EQ(::stat(extent.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 022, 0u);
    const std::string dir = m_recall->getDir();
    for (std::vector<std::string> args :
         {std::vector<std::string>{"clear-store", dir},
          {"remove-store", dir},
          {"create-store", "--force", "recall", dir, "u", "512K", "64K"}}) {
        EXPECT_EQ(ctl(args, &out), 1) << args[0];
        EXPECT_NE(out.find("in use by another process"), std::string::npos) << out;
    }
    EXPECT_EQ(BitmapOf(m_recall), std::set<long long>{3});
    EXPECT_EQ(m_service.stop(), 0);
}

TEST_F(RecalldOperatorTest, CtlJsonOfTheDriversTuningParsesBack) {
    makeDevice("dev", 512 * kKiB, 4 * kKiB, 64 * kKiB);
    std::string out;
    ASSERT_EQ(ctl({"set-config", "77"}, &out), 0) << out;
    ASSERT_EQ(ctl({"get-config", "--json"}, &out), 0) << out;
    EXPECT_EQ(nlohmann::json::parse(out, nullptr, false), (nlohmann::json{{"config", 77}}));
    ASSERT_EQ(ctl({"get-mru", "dev", "8", "--json"}, &out), 0) << out;
    nlohmann::json mru = nlohmann::json::parse(out, nullptr, false);
    EXPECT_EQ(mru["device"], "dev");
    EXPECT_TRUE(mru["extents"].is_array()) << out;
}

// One line the service logged, from a syslog datagram or a journal entry.
struct LoggedLine {
    int priority = -1;  // with the facility for syslog
    std::string ident;
    pid_t sender = 0;  // from the socket's credentials
    std::string message;
};

// A level or priority in decimal, or -1 for anything else.
int NumberIn(const std::string& text) {
    char* end = nullptr;
    long number = std::strtol(text.c_str(), &end, 10);
    return text.empty() || *end != '\0' ? -1 : static_cast<int>(number);
}

// "<PRI>TIMESTAMP IDENT[PID]: MESSAGE", as syslog(3) sends it.
LoggedLine ParseSyslog(const std::string& datagram) {
    LoggedLine line;
    size_t close = datagram.find('>');
    size_t colon = datagram.find("]: ");
    if (datagram.empty() || datagram[0] != '<' || close == std::string::npos ||
        colon == std::string::npos)
        return line;
    line.priority = NumberIn(datagram.substr(1, close - 1));
    size_t ident = datagram.rfind(' ', datagram.rfind('[', colon)) + 1;
    line.ident = datagram.substr(ident, colon + 1 - ident);
    line.message = datagram.substr(colon + 3);
    return line;
}

// The journal's native protocol: "KEY=value\n" fields, or "KEY\n", a little-endian 64-bit
// size, the value and "\n" for a value that holds a newline.
LoggedLine ParseJournal(const std::string& datagram) {
    std::map<std::string, std::string> fields;
    size_t at = 0;
    while (at < datagram.size()) {
        size_t end = datagram.find('\n', at);
        if (end == std::string::npos)
            break;
        std::string field = datagram.substr(at, end - at);
        size_t equals = field.find('=');
        if (equals != std::string::npos) {
            fields[field.substr(0, equals)] = field.substr(equals + 1);
            at = end + 1;
            continue;
        }
        uint64_t size = 0;
        if (end + 9 > datagram.size())
            break;
        std::memcpy(&size, datagram.data() + end + 1, 8);
        fields[field] = datagram.substr(end + 9, size);
        at = end + 9 + size + 1;
    }
    LoggedLine line;
    line.priority = NumberIn(fields["PRIORITY"]);
    line.ident = fields["SYSLOG_IDENTIFIER"];
    line.message = fields.count("MESSAGE") ? fields["MESSAGE"] : "<no MESSAGE= field>";
    return line;
}

// A datagram socket put over the path a log daemon listens on, in this test's mount
// namespace only, with a thread collecting what arrives.
class LogDaemonSocket {
  public:
    ~LogDaemonSocket() {
        m_done = true;
        if (m_reader.joinable())
            m_reader.join();
        for (auto mount = m_mounts.rbegin(); mount != m_mounts.rend(); ++mount)
            ::umount2(mount->c_str(), MNT_DETACH);
        if (!m_created.empty())
            ::unlink(m_created.c_str());
    }

    // Binds a socket at socketPath and mounts it over target. Returns what went wrong.
    std::string listen(const std::string& socketPath, const std::string& target, bool journal) {
        m_journal = journal;
        m_fd.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        const int on = 1;
        if (!m_fd.valid() ||
            ::bind(m_fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::setsockopt(m_fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0)
            return std::string("socket: ") + std::strerror(errno);
        std::string why = makeMountPoint(target);
        if (!why.empty())
            return why;
        if (::mount(socketPath.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return "bind over " + target + ": " + std::strerror(errno);
        m_mounts.push_back(target);
        m_reader = std::thread([this] { read(); });
        return "";
    }

    std::vector<LoggedLine> lines() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }

  private:
    // A missing target is created on a tmpfs mounted over its deepest existing directory, or
    // on /dev itself when /dev is the namespace's own tmpfs; nothing outside changes.
    std::string makeMountPoint(const std::string& target) {
        struct stat st;
        if (::stat(target.c_str(), &st) == 0)
            return "";
        std::string dir = target.substr(0, target.rfind('/'));
        if (dir == "/dev") {
            if (!tqtest::PathExists("/dev/.host"))
                return "no " + target + ", and /dev is the host's";
            ::unlink(target.c_str());  // a link to a missing host entry
        } else {
            std::string top = dir;
            while (!top.empty() && ::stat(top.c_str(), &st) != 0)
                top = top.substr(0, top.rfind('/'));
            if (top.empty() || top == "/dev")
                return "no place for " + target;
            if (::mount("tqblk-log", top.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
                return "tmpfs on " + top + ": " + std::strerror(errno);
            m_mounts.push_back(top);
            for (size_t slash = top.size() + 1; slash <= dir.size(); ++slash) {
                slash = std::min(dir.find('/', slash), dir.size());
                ::mkdir(dir.substr(0, slash).c_str(), 0755);
            }
        }
        tqsys::UniqueFd file(::open(target.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644));
        if (!file.valid())
            return "create " + target + ": " + std::strerror(errno);
        if (dir == "/dev")
            m_created = target;
        return "";
    }

    void read() {
        while (!m_done) {
            pollfd ready{m_fd.get(), POLLIN, 0};
            if (::poll(&ready, 1, 50) != 1)
                continue;
            char data[65536];
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
            iovec io{data, sizeof data};
            msghdr message{};
            message.msg_iov = &io;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            ssize_t got = ::recvmsg(m_fd.get(), &message, 0);
            if (got < 0)
                continue;
            std::string datagram(data, static_cast<size_t>(got));
            LoggedLine line = m_journal ? ParseJournal(datagram) : ParseSyslog(datagram);
            cmsghdr* header = CMSG_FIRSTHDR(&message);
            if (header != nullptr && header->cmsg_type == SCM_CREDENTIALS)
                line.sender = reinterpret_cast<ucred*>(CMSG_DATA(header))->pid;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.push_back(line);
        }
    }

    bool m_journal = false;
    tqsys::UniqueFd m_fd;
    std::vector<std::string> m_mounts;
    std::string m_created;
    std::atomic<bool> m_done{false};
    std::thread m_reader;
    mutable std::mutex m_mutex;
    std::vector<LoggedLine> m_lines;
};

// syslog(3) as facility daemon: <PRI> is 3 * 8 plus the level.
constexpr int kSyslogDaemon = 3 << 3;

TEST_F(RecalldOperatorTest, SyslogAndJournalGetEachLineAtItsLevelAndNothingGoesToStderr) {
    makeDevice("dev", 512 * kKiB, 4 * kKiB, 64 * kKiB);
    const std::string image = makeImage(512 * kKiB);
    for (bool journal : {false, true}) {
        SCOPED_TRACE(journal ? "journal" : "syslog");
        LogDaemonSocket daemon;
        std::string why =
            daemon.listen(m_temp / (journal ? "journal.sock" : "syslog.sock"),
                          journal ? "/run/systemd/journal/socket" : "/dev/log", journal);
        if (!why.empty() && tqharness::SkipIsFailure())
            FAIL() << why;
        if (!why.empty())
            GTEST_SKIP() << why;
        const int facility = journal ? 0 : kSyslogDaemon;
        const std::string sink = journal ? "journal" : "syslog";
        const std::string out = m_temp / (sink + ".out");
        // Extents not yet recalled by the other sink's runs.
        const long long extent = journal ? 4 : 3;
        auto expectFrom = [&](const LoggedLine& line) {
            EXPECT_EQ(line.sender, m_service.pid()) << line.message;
            EXPECT_EQ(line.ident, journal ? "tqblk-recalld"
                                          : "tqblk-recalld[" + std::to_string(line.sender) + "]")
                << line.message;
        };
        auto find = [&](const std::string& text) {
            for (const LoggedLine& line : daemon.lines())
                if (line.message.find(text) != std::string::npos)
                    return line;
            return LoggedLine();
        };

        // Serving, at info level: each event a line at its own level.
        ASSERT_EQ(m_service.start(serviceArgs(image, {"--log", sink}), out), "");
        ASSERT_TRUE(waitFor([&] { return find("serving recall requests").priority >= 0; }));
        expectPattern(startRead(extent * 64 * kKiB, 100));
        const std::string recalled = "recalled extent " + std::to_string(extent);
        ASSERT_TRUE(waitFor([&] { return find(recalled).priority >= 0; }));
        expectFrom(find("serving recall requests"));
        EXPECT_EQ(find(recalled).priority, facility + LOG_INFO);
        const pid_t pid = m_service.pid();
        EXPECT_EQ(m_service.stop(), 0);
        ASSERT_TRUE(waitFor([&] { return find("extents present").priority >= 0; }));
        EXPECT_EQ(find("stopping on").priority, facility + LOG_INFO);
        for (const LoggedLine& line : daemon.lines())
            EXPECT_EQ(line.sender, pid) << line.message;
        EXPECT_EQ(tqtest::ReadFile(out), "");

        // At warning level a clean run says nothing, its final counts included.
        daemon.clear();
        ASSERT_EQ(
            m_service.start(serviceArgs(image, {"--log", sink, "--log-level", "warning"}), out),
            "");
        expectPattern(startRead((extent + 2) * 64 * kKiB, 100));
        EXPECT_EQ(m_service.stop(), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        for (const LoggedLine& line : daemon.lines())
            ADD_FAILURE() << "logged at warning level: " << line.message;

        // A failure is one line at error level; its chain follows at debug level only.
        std::vector<std::string> missing = serviceArgs(image, {"--log", sink});
        missing[4] = m_temp / "missing";
        for (bool debug : {false, true}) {
            daemon.clear();
            std::vector<std::string> args = missing;
            if (debug)
                args.push_back("-v");
            ASSERT_EQ(m_service.start(args, out), "");
            const int status = m_service.waitExit(std::chrono::seconds(20));
            ASSERT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            std::vector<LoggedLine> lines = daemon.lines();
            ASSERT_GE(lines.size(), debug ? 2u : 1u);
            EXPECT_EQ(lines[0].priority, facility + LOG_ERR);
            EXPECT_EQ(lines[0].message.rfind("Couldn't open the recall store " + missing[4], 0), 0u)
                << lines[0].message;
            EXPECT_EQ(lines[0].message.find('\n'), std::string::npos) << lines[0].message;
            EXPECT_TRUE(debug || lines.size() == 1u) << lines.back().message;
            for (size_t i = 1; i < lines.size(); ++i) {
                EXPECT_EQ(lines[i].priority, facility + LOG_DEBUG) << lines[i].message;
                EXPECT_EQ(lines[i].message.rfind("  ", 0), 0u) << lines[i].message;
            }
            EXPECT_EQ(tqtest::ReadFile(out), "");
        }
    }
}

}  // namespace
}  // namespace roadtest
