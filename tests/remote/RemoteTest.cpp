// The recall service reading from real remote servers: Ceph's RADOS Gateway for S3 and nginx
// for HTTP and HTTPS, started by tests/remote/run.sh, which passes their addresses in the
// environment. Every byte read through the device is checked against the image.

#include "RoadFixture.h"

#include <curl/curl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace roadtest {
namespace {

constexpr long long kKiB = 1024;
constexpr long long kExtent = 64 * kKiB;
const char kBucket[] = "tqblk-test";

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

int Occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// The image with every byte changed: what a replaced object holds.
std::vector<char> Changed(const std::vector<char>& bytes) {
    std::vector<char> out(bytes);
    for (char& c : out)
        c = static_cast<char>(c ^ 0x5a);
    return out;
}

// One signed S3 request by libcurl; returns the HTTP status, or -1. The answer's body goes to
// *answer when given.
long S3Request(const std::string& method, const std::string& path, const std::vector<char>& body,
               std::string* answer = nullptr) {
    CURL* curl = curl_easy_init();
    std::string url = Env("TQBLK_TEST_S3_ENDPOINT") + "/" + path;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, "aws:amz:us-east-1:s3");
    std::string access = Env("TQBLK_TEST_S3_ACCESS");
    std::string secret = Env("TQBLK_TEST_S3_SECRET");
    curl_easy_setopt(curl, CURLOPT_USERNAME, access.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, secret.c_str());
    struct curl_slist* headers =
        curl_slist_append(nullptr, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    // Never a null pointer: libcurl would then read the body from stdin.
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.empty() ? "" : body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    std::string sink;
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, answer != nullptr ? answer : &sink);
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* to) {
            static_cast<std::string*>(to)->append(data, size * count);
            return size * count;
        });
    long status = -1;
    if (curl_easy_perform(curl) == CURLE_OK)
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return status;
}

class RemoteTest : public RoadTest {
  protected:
    void SetUp() override {
        RoadTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        if (Env("TQBLK_TEST_S3_ENDPOINT").empty() || Env("TQBLK_TEST_HTTP").empty()) {
            if (tqharness::SkipIsFailure())
                FAIL() << "the remote tests need their servers: run tests/remote/run.sh";
            GTEST_SKIP() << "the remote tests need their servers: run tests/remote/run.sh";
        }
        long status = S3Request("PUT", kBucket, {});
        ASSERT_TRUE(status == 200 || status == 409) << status;
    }

    void TearDown() override {
        m_service.stop();
        if (HasFailure() && m_tmpfs)
            std::fprintf(stderr, "The service's log:\n%s\n", serviceLog().c_str());
        // A test that stopped a server must not leave it stopped for the next one.
        if (m_gatewayStopped)
            serverScript("TQBLK_TEST_CEPH_SCRIPT", "start-gateway", "TQBLK_TEST_CEPH_DIR");
        if (m_nginxStopped)
            serverScript("TQBLK_TEST_NGINX_SCRIPT", "restart", "TQBLK_TEST_NGINX_DIR");
        for (const std::string& file : m_served)
            std::remove(file.c_str());
        RoadTest::TearDown();
    }

    // Puts bytes as the S3 object KEY; returns its s3:// URL.
    std::string putS3(const std::string& key, const std::vector<char>& bytes) {
        EXPECT_EQ(S3Request("PUT", std::string(kBucket) + "/" + key, bytes), 200);
        return "s3://" + std::string(kBucket) + "/" + key;
    }

    // Puts bytes where nginx serves them as NAME (replacing a file at once, as a deployment
    // does); returns its path under the servers' roots.
    std::string putHttp(const std::string& name, const std::vector<char>& bytes) {
        std::string path = Env("TQBLK_TEST_WWW") + "/" + name;
        std::string temp = path + ".new";
        {
            std::ofstream out(temp, std::ios::binary);
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        }
        EXPECT_EQ(std::rename(temp.c_str(), path.c_str()), 0);
        m_served.push_back(path);
        return "/" + name;
    }

    // The credentials the service finds: keys in its environment.
    std::vector<std::string> s3Environment(const std::string& secret = "") const {
        return {"AWS_ACCESS_KEY_ID=" + Env("TQBLK_TEST_S3_ACCESS"),
                "AWS_SECRET_ACCESS_KEY=" + (secret.empty() ? Env("TQBLK_TEST_S3_SECRET") : secret),
                "AWS_ENDPOINT_URL=" + Env("TQBLK_TEST_S3_ENDPOINT")};
    }

    void startService(const std::string& source, std::vector<std::string> extra = {},
                      const std::vector<std::string>& environment = {}) {
        std::vector<std::string> args = {TQBLK_RECALLD_PATH,
                                         "--uuid",
                                         m_uuid,
                                         "--recall-store",
                                         m_recall->getDir(),
                                         "--source",
                                         source,
                                         "--workers",
                                         "2"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::remove((m_temp / "service.log").c_str());  // each run's log on its own
        ASSERT_EQ(m_service.start(args, m_temp / "service.log", environment), "");
    }

    // Starts the service and waits until it serves; a read before would wait for ever on a
    // service that refused to start.
    void startServing(const std::string& source, std::vector<std::string> extra = {},
                      const std::vector<std::string>& environment = {}) {
        startService(source, extra, environment);
        ASSERT_TRUE(waitForLog("serving recall requests", std::chrono::seconds(60)))
            << serviceLog();
    }

    std::string serviceLog() const { return tqtest::ReadFile(m_temp / "service.log"); }

    // Waits for the service to end by itself; its exit status, or -1.
    int exitStatus() {
        int status = m_service.waitExit(std::chrono::seconds(60));
        return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    bool waitForLog(const std::string& text, std::chrono::seconds timeout) const {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (serviceLog().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    // Reads the device's bytes [offset, offset + size) and expects those of image.
    void expectDevice(const std::vector<char>& image, long long offset, size_t size) {
        std::vector<char> bytes;
        ASSERT_EQ(ReadAt(dataPath(), offset, size, &bytes), 0) << "read at " << offset;
        ASSERT_EQ(bytes.size(), size);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), image.begin() + offset))
            << "read at " << offset;
    }

    // Expects every extent file present in the recall store to hold image's bytes.
    void expectStoreHolds(const std::vector<char>& image) {
        for (long long extent : BitmapOf(m_recall)) {
            std::string path;
            ASSERT_OK(m_recall->getExtentFileName(extent, &path));
            std::string text = tqtest::ReadFile(path);
            long long offset = extent * kExtent;
            size_t size = static_cast<size_t>(
                std::min<long long>(kExtent, static_cast<long long>(image.size()) - offset));
            text.resize(size, '\0');  // a sparse all-zero extent may be shorter
            EXPECT_TRUE(std::equal(text.begin(), text.end(), image.begin() + offset))
                << "extent " << extent;
        }
    }

    // Reads the whole device through the service and expects the image, every extent
    // answered once and without error.
    void readWholeDevice(const std::string& uuid, const std::vector<char>& image,
                         const std::string& source, const std::vector<std::string>& extra,
                         const std::vector<std::string>& environment) {
        makeDevice(uuid, static_cast<long long>(image.size()), 0, static_cast<int>(kExtent));
        startServing(source, extra, environment);
        expectDevice(image, 0, image.size());
        const long long extents = static_cast<long long>(image.size()) / kExtent;
        std::vector<std::pair<long long, int>> answers = answered(uuid);
        for (const auto& answer : answers)
            EXPECT_EQ(answer.second, 0) << "extent " << answer.first;
        EXPECT_EQ(BitmapOf(m_recall).size(), static_cast<size_t>(extents));
        expectStoreHolds(image);
        EXPECT_EQ(m_service.stop(), 0);
    }

    void serverScript(const char* script, const char* verb, const char* dir) {
        std::string command = "bash " + Env(script) + " " + verb + " " + Env(dir) + " >/dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
    }

    tqharness::ChildProcess m_service;
    std::vector<std::string> m_served;
    bool m_gatewayStopped = false;
    bool m_nginxStopped = false;
};

TEST_F(RemoteTest, AWholeDeviceReadsRightThroughS3HttpAndHttps) {
    const std::vector<char> image = Pattern(0, 2048 * kKiB);
    // S3 with keys from a shared credentials file and its profile, and the endpoint as an
    // option.
    std::string credentials = m_temp / "credentials";
    tqtest::WriteFile(credentials,
                      "[default]\naws_access_key_id = wrong\n"
                      "aws_secret_access_key = wrong\n\n# the test's keys\n"
                      "[tqblk]\naws_access_key_id = " +
                          Env("TQBLK_TEST_S3_ACCESS") +
                          "\naws_secret_access_key=" + Env("TQBLK_TEST_S3_SECRET") + "\n");
    readWholeDevice("s3", image, putS3("whole.img", image),
                    {"--endpoint", Env("TQBLK_TEST_S3_ENDPOINT"), "--region", "us-east-1"},
                    {"AWS_SHARED_CREDENTIALS_FILE=" + credentials, "AWS_PROFILE=tqblk"});
    EXPECT_EQ(serviceLog().find(Env("TQBLK_TEST_S3_SECRET")), std::string::npos);

    std::string path = putHttp("whole.img", image);
    readWholeDevice("http", image, Env("TQBLK_TEST_HTTP") + path, {"--readahead", "0"}, {});
    readWholeDevice("https", image, Env("TQBLK_TEST_HTTPS") + path,
                    {"--cacert", Env("TQBLK_TEST_CACERT")}, {});

    // A server whose certificate no trusted CA signed is refused: verification is never off.
    makeDevice("untrusted", static_cast<long long>(image.size()), 0, static_cast<int>(kExtent));
    startService(Env("TQBLK_TEST_HTTPS") + path);
    EXPECT_EQ(exitStatus(), 1);
    EXPECT_NE(serviceLog().find("certificate"), std::string::npos) << serviceLog();
    EXPECT_TRUE(BitmapOf(m_recall).empty());
}

TEST_F(RemoteTest, AWrongSecretOrAMissingObjectIsRefusedAtStartAndNothingIsWritten) {
    const std::vector<char> image = Pattern(0, 512 * kKiB);
    std::string url = putS3("secret.img", image);
    makeDevice("secret", static_cast<long long>(image.size()), 0, static_cast<int>(kExtent));
    startService(url, {}, s3Environment("not-the-secret-at-all"));
    EXPECT_EQ(exitStatus(), 1);
    std::string log = serviceLog();
    EXPECT_NE(log.find("was refused (HTTP 403"), std::string::npos) << log;
    EXPECT_EQ(log.find("not-the-secret-at-all"), std::string::npos) << log;
    EXPECT_TRUE(BitmapOf(m_recall).empty());
    EXPECT_EQ(EntriesOf(m_recall->getDir() + "/tmp"), std::vector<std::string>());

    for (const std::string& missing : {"s3://" + std::string(kBucket) + "/no-such.img",
                                       Env("TQBLK_TEST_HTTP") + "/no-such.img"}) {
        startService(missing, {}, s3Environment());
        EXPECT_EQ(exitStatus(), 1) << missing;
        EXPECT_NE(serviceLog().find("No such object: " + missing), std::string::npos)
            << serviceLog();
        EXPECT_TRUE(BitmapOf(m_recall).empty());
    }
}

TEST_F(RemoteTest, AShortObjectIsRefusedGivingBothSizesOrReadsItsTailAsZerosWhenAllowed) {
    const long long deviceSize = 1024 * kKiB;
    const long long objectSize = 700 * kKiB + 123;
    std::vector<char> object = Pattern(0, static_cast<size_t>(objectSize));
    std::string url = putS3("short.img", object);
    makeDevice("short", deviceSize, 0, static_cast<int>(kExtent));
    startService(url, {}, s3Environment());
    EXPECT_EQ(exitStatus(), 1);
    EXPECT_NE(serviceLog().find(std::to_string(objectSize) + " bytes, fewer than the " +
                                std::to_string(deviceSize)),
              std::string::npos)
        << serviceLog();

    startServing(url, {"--allow-short-source"}, s3Environment());
    std::vector<char> expected = object;
    expected.resize(static_cast<size_t>(deviceSize), 0);
    expectDevice(expected, 0, static_cast<size_t>(deviceSize));
    expectStoreHolds(expected);
}

TEST_F(RemoteTest, AnObjectReplacedMidRunFailsLaterRecallsWithEstaleAndIsNeverMixedIn) {
    const std::vector<char> image = Pattern(0, 1024 * kKiB);
    const std::vector<char> replaced = Changed(image);
    struct Case {
        std::string uuid;
        std::function<std::string(const std::vector<char>&)> put;
        std::string prefix;
        std::vector<std::string> environment;
    };
    std::vector<Case> cases = {
        {"s3-replaced", [this](const std::vector<char>& b) { return putS3("replaced.img", b); }, "",
         s3Environment()},
        {"http-replaced",
         [this](const std::vector<char>& b) { return putHttp("replaced.img", b); },
         Env("TQBLK_TEST_HTTP"),
         {}}};
    for (const Case& c : cases) {
        std::string url = c.prefix + c.put(image);
        makeDevice(c.uuid, static_cast<long long>(image.size()), 0, static_cast<int>(kExtent));
        startServing(url, {"--readahead", "0"}, c.environment);
        expectDevice(image, 0, 4 * kExtent);
        // nginx's ETag holds the file's time in seconds: make the new one differ.
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        c.put(replaced);
        std::vector<char> bytes;
        for (long long extent = 4; extent < 8; ++extent)
            EXPECT_NE(ReadAt(dataPath(), extent * kExtent, 100, &bytes), 0) << extent;
        for (const auto& answer : answered(c.uuid))
            EXPECT_EQ(answer.second, answer.first < 4 ? 0 : ESTALE) << "extent " << answer.first;
        EXPECT_EQ(BitmapOf(m_recall), (std::set<long long>{0, 1, 2, 3}));
        expectStoreHolds(image);
        EXPECT_EQ(Occurrences(serviceLog(), "error: The source changed while the service ran"), 1)
            << serviceLog();
        m_service.stop();
    }
}

// Refused at start: a source naming no version, a FIFO for a credentials file; a password
// in the URL or a netrc file serves, and the log never shows it.
TEST_F(RemoteTest, StartUpRefusesAnUnversionedSourceOrAFifoAndNeverLogsAPassword) {
    const std::vector<char> image = Pattern(0, 256 * kKiB);
    std::string path = putHttp("start.img", image), http = Env("TQBLK_TEST_HTTP");
    std::string bare = http + "/bare" + path, locked = http + "/private" + path;
    std::string netrc = m_temp / "netrc", fifo = m_temp / "fifo";
    tqtest::WriteFile(netrc, "machine 127.0.0.1 login tqblk password tqblk-http-secret\n");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string withPassword = "http://tqblk:tqblk-http-secret@" + locked.substr(7);
    struct Case {
        std::string url;
        std::vector<std::string> args;
        std::string logged;  // with "reading " when the service serves
    };
    std::vector<Case> cases = {
        {bare, {}, bare + " names no version of itself"},
        {bare,
         {"--allow-unversioned-source"},
         "warning: reading " + bare + ": 262144 bytes, version (none"},
        {locked, {}, "was refused (HTTP 401)"},
        {withPassword, {}, "reading http://tqblk:***@" + locked.substr(7)},
        {locked, {"--netrc-file", netrc}, "reading " + locked},
        {locked, {"--netrc-file", fifo}, "netrc file " + fifo + " is not a regular file"},
        {putS3("start.img", image), {}, "credentials file " + fifo + " is not a regular file"}};
    for (const Case& c : cases) {
        std::string uuid = "start" + std::to_string(&c - cases.data());
        makeDevice(uuid, static_cast<long long>(image.size()), 0, static_cast<int>(kExtent));
        bool serves = c.logged.find("reading ") != std::string::npos;
        std::vector<std::string> environment = {
            "AWS_SHARED_CREDENTIALS_FILE=" + fifo,
            "AWS_ENDPOINT_URL=" + Env("TQBLK_TEST_S3_ENDPOINT")};
        if (serves) {
            startServing(c.url, c.args, environment);
            expectDevice(image, 0, image.size());
        } else {
            startService(c.url, c.args, environment);
        }
        EXPECT_EQ(serves ? m_service.stop() : exitStatus(), serves ? 0 : 1) << c.url;
        EXPECT_NE(serviceLog().find(c.logged), std::string::npos) << serviceLog();
        EXPECT_EQ(serviceLog().find("http-secret"), std::string::npos) << serviceLog();
    }
}

// nginx sending 2 bytes a second: each attempt ends when the request's time is spent, or
// when it is slower than the minimum rate, and the recall fails instead of hanging.
TEST_F(RemoteTest, ATricklingServerFailsTheRecallInsteadOfHoldingIt) {
    const std::vector<char> image = Pattern(0, 256 * kKiB);
    std::string url = Env("TQBLK_TEST_HTTP") + "/trickle" + putHttp("trickle.img", image);
    for (const auto& extra : std::vector<std::vector<std::string>>{
             {"--remote-retry-time", "5"}, {"--remote-tries", "1", "--remote-min-rate", "1"}}) {
        makeDevice("trickle" + extra[1], static_cast<long long>(image.size()), 0,
                   static_cast<int>(kExtent));
        startServing(url, extra);
        AsyncRead& read = startRead(0, 100);
        EXPECT_TRUE(waitForLog("(gave up after 1 tries in", std::chrono::seconds(60))) << extra[0];
        EXPECT_EQ(finish(read).first, EIO);
        m_service.stop();
    }
}

TEST_F(RemoteTest, ReadersCompleteRightWhenTheServerIsStoppedMidReadAndRestarted) {
    const std::vector<char> image = Pattern(0, 1024 * kKiB);
    struct Case {
        std::string uuid;
        std::string url;
        const char* script;
        const char* stopVerb;
        const char* startVerb;
        const char* dir;
        bool* stopped;
    };
    std::string http = Env("TQBLK_TEST_HTTP") + putHttp("restart.img", image);
    std::string s3 = putS3("restart.img", image);
    std::vector<Case> cases = {{"gateway", s3, "TQBLK_TEST_CEPH_SCRIPT", "stop-gateway",
                                "start-gateway", "TQBLK_TEST_CEPH_DIR", &m_gatewayStopped},
                               {"nginx", http, "TQBLK_TEST_NGINX_SCRIPT", "stop", "restart",
                                "TQBLK_TEST_NGINX_DIR", &m_nginxStopped}};
    for (const Case& c : cases) {
        makeDevice(c.uuid, static_cast<long long>(image.size()), 0, static_cast<int>(kExtent));
        startServing(c.url, {"--readahead", "0"}, s3Environment());
        expectDevice(image, 0, 2 * kExtent);
        serverScript(c.script, c.stopVerb, c.dir);
        *c.stopped = true;
        for (long long extent = 2; extent < 16; ++extent)
            startRead(extent * kExtent, static_cast<size_t>(kExtent));
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        serverScript(c.script, c.startVerb, c.dir);
        *c.stopped = false;
        for (auto& read : m_reads)
            expectPattern(*read);
        m_reads.clear();
        for (const auto& answer : answered(c.uuid))
            EXPECT_EQ(answer.second, 0) << "extent " << answer.first;
        expectStoreHolds(image);
        m_service.stop();
    }
}

TEST_F(RemoteTest, AServiceStoppedWhileRetryingEndsAtOnceAndLeavesTheRecallForItsNextRun) {
    const std::vector<char> image = Pattern(0, 512 * kKiB);
    std::string url = Env("TQBLK_TEST_HTTP") + putHttp("stop.img", image);
    makeDevice("stop", static_cast<long long>(image.size()), 0, static_cast<int>(kExtent));
    startServing(url, {"--readahead", "0"});
    serverScript("TQBLK_TEST_NGINX_SCRIPT", "stop", "TQBLK_TEST_NGINX_DIR");
    m_nginxStopped = true;
    AsyncRead& read = startRead(3 * kExtent, 1000);
    ASSERT_TRUE(waitForState("stop", "fetched", [](const std::string& v) { return v == "3"; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Retrying would go on for minutes; a stop must not wait for it, nor fail the reader.
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(m_service.stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));
    EXPECT_EQ(answered("stop").size(), 0u);
    EXPECT_NE(serviceLog().find("left extent 3 for the next run"), std::string::npos)
        << serviceLog();
    serverScript("TQBLK_TEST_NGINX_SCRIPT", "restart", "TQBLK_TEST_NGINX_DIR");
    m_nginxStopped = false;
    startServing(url, {"--readahead", "0"});
    expectPattern(read);
    EXPECT_EQ(answered("stop"), (std::vector<std::pair<long long, int>>{{3, 0}}));
}

TEST_F(RemoteTest, InjectedServiceUnavailableAnswersAreRetriedAndTheDataIsRight) {
    const std::vector<char> image = Pattern(0, 2048 * kKiB);
    // One request in five through /flaky/ is answered 503.
    std::string url = Env("TQBLK_TEST_HTTP") + "/flaky" + putHttp("flaky.img", image);
    readWholeDevice("flaky", image, url, {"--remote-tries", "30"}, {});
}

TEST_F(RemoteTest, ReadaheadBringsInTheExtentsAfterASequentialRunAndOnlyThen) {
    const std::vector<char> image = Pattern(0, 2048 * kKiB);
    std::string url = putS3("readahead.img", image);
    makeDevice("readahead", static_cast<long long>(image.size()), 0, static_cast<int>(kExtent));
    startServing(url, {"--readahead", "8"}, s3Environment());
    for (long long extent = 0; extent < 4; ++extent)
        expectDevice(image, extent * kExtent, static_cast<size_t>(kExtent));
    // Readahead answers no request, so the last recall the driver saw answered was a demand
    // recall continuing the run (extent 1 at least): the two extents after it come in.
    long long last = 0;
    for (const auto& answer : answered("readahead"))
        last = std::max(last, answer.first);
    ASSERT_GE(last, 1);
    bool filled = false;
    for (int i = 0; i < 500 && !filled; ++i) {
        std::set<long long> present = BitmapOf(m_recall);
        filled = present.count(last + 1) && present.count(last + 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(filled) << "last demand recall: " << last;
    expectStoreHolds(image);
    EXPECT_FALSE(BitmapOf(m_recall).count(20));
    // Those extents are read without a recall.
    size_t answers = answered("readahead").size();
    expectDevice(image, (last + 1) * kExtent, static_cast<size_t>(2 * kExtent));
    EXPECT_EQ(answered("readahead").size(), answers);
    m_service.stop();

    // Scattered reads bring in nothing more.
    makeDevice("scattered", static_cast<long long>(image.size()), 0, static_cast<int>(kExtent));
    startServing(url, {"--readahead", "8"}, s3Environment());
    for (long long extent : {20, 3, 11, 27})
        expectDevice(image, extent * kExtent, 100);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(BitmapOf(m_recall), (std::set<long long>{3, 11, 20, 27}));
}

TEST_F(RemoteTest, HydrationFillsTheStoreAtItsRate) {
    const std::vector<char> image = Pattern(0, 3072 * kKiB);
    std::string url = Env("TQBLK_TEST_HTTP") + putHttp("hydrate.img", image);
    makeDevice("hydrate", static_cast<long long>(image.size()), 0, static_cast<int>(kExtent));
    startServing(url, {"--hydrate", "--hydrate-rate", "1"});
    // A demand read meanwhile is served as ever.
    expectDevice(image, 40 * kExtent, 1000);
    ASSERT_TRUE(
        waitForLog("device fully hydrated: 48/48 extents present", std::chrono::seconds(30)))
        << serviceLog();
    std::smatch match;
    std::string log = serviceLog();
    ASSERT_TRUE(
        std::regex_search(log, match, std::regex("([0-9]+) bytes brought in over ([0-9]+) ms")))
        << log;
    double mibPerSecond = std::stod(match[1]) / 1048576.0 / (std::stod(match[2]) / 1000.0);
    EXPECT_GT(mibPerSecond, 0.8);
    EXPECT_LT(mibPerSecond, 1.2);
    EXPECT_EQ(BitmapOf(m_recall).size(), 48u);
    expectStoreHolds(image);
    expectDevice(image, 0, image.size());
    // The stats count what hydration placed, not only the demand recalls.
    EXPECT_EQ(m_service.stop(), 0);
    EXPECT_NE(serviceLog().find("48 of 48 extents present"), std::string::npos) << serviceLog();
}

// An image published as chunks, one of them damaged in the gateway: reading its extent fails
// with EIO, the log names the chunk's digest and nothing is placed; the other extents read
// right, the all-zero ones too.
TEST_F(RemoteTest, ADamagedChunkFailsItsExtentWithEioAndTheOtherExtentsReadRight) {
    const std::vector<char> image = Pattern(0, 48 * kExtent);  // every eighth extent zero
    std::string path = m_temp / "published.img";
    tqtest::WriteFile(path, std::string(image.begin(), image.end()));
    static int runs = 0;  // a root of its own each run: a repeat must damage a sound chunk
    const std::string prefix = std::string(kBucket) + "/published" + std::to_string(++runs);
    const std::string root = "s3://" + prefix;
    std::string push = "AWS_ACCESS_KEY_ID=" + Env("TQBLK_TEST_S3_ACCESS") +
                       " AWS_SECRET_ACCESS_KEY=" + Env("TQBLK_TEST_S3_SECRET") +
                       " AWS_ENDPOINT_URL=" + Env("TQBLK_TEST_S3_ENDPOINT") + " " +
                       TQBLK_IMAGE_PATH + " push " + path + " " + root +
                       " --extent-size 64K --name damaged >/dev/null";
    ASSERT_EQ(std::system(push.c_str()), 0) << push;

    // The manifest's line for extent 5 (after five header lines) gives its chunk's digest.
    const long long damaged = 5;
    std::string manifest, chunk;
    ASSERT_EQ(S3Request("GET", prefix + "/manifests/damaged", {}, &manifest), 200);
    std::istringstream lines(manifest);
    std::string line;
    for (long long i = 0; i <= 5 + damaged; ++i)
        std::getline(lines, line);
    const std::string digest = line.substr(0, line.find(' '));
    ASSERT_EQ(digest.size(), 64u) << line;
    std::string key = prefix + "/chunks/" + digest.substr(0, 2) + "/" + digest;
    ASSERT_EQ(S3Request("GET", key, {}, &chunk), 200);
    chunk[chunk.size() / 2] ^= 0x01;
    ASSERT_EQ(S3Request("PUT", key, std::vector<char>(chunk.begin(), chunk.end())), 200);

    makeDevice("damaged", static_cast<long long>(image.size()), 0, static_cast<int>(kExtent));
    startServing("manifest+" + root + "/manifests/damaged", {"--readahead", "0"}, s3Environment());
    std::vector<char> bytes;
    EXPECT_EQ(ReadAt(dataPath(), damaged * kExtent, 100, &bytes), EIO);
    EXPECT_EQ(BitmapOf(m_recall).count(damaged), 0u);
    EXPECT_TRUE(waitForLog(digest, std::chrono::seconds(10))) << serviceLog();
    expectDevice(image, 0, damaged * kExtent);
    expectDevice(image, (damaged + 1) * kExtent, image.size() - (damaged + 1) * kExtent);
    EXPECT_EQ(BitmapOf(m_recall).size(), 47u);
    expectStoreHolds(image);
    for (const auto& answer : answered("damaged"))
        EXPECT_EQ(answer.second, answer.first == damaged ? EIO : 0) << "extent " << answer.first;
}

}  // namespace
}  // namespace roadtest
