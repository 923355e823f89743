// tqblk-recalld as an operator runs it beside the emulator: it refuses a source shorter
// than the device unless told, survives SIGHUP, keeps its stats file current while it
// serves, and tqblk-ctl status reads that file with the driver's and the stores' state.

#include "RoadFixture.h"
#include <tqsys/UniqueFd.h>

#include <nlohmann/json.hpp>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstring>
#include <fstream>
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

}  // namespace
}  // namespace roadtest
