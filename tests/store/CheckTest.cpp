#include "TestSupport.h"

#include <tqblk/TqBlkBackingStore.h>
#include <tqblk/TqBlkStoreCheck.h>
#include <tqblk/TqBlkStoreLock.h>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <set>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using tqtest::HasError;
using tqtest::PathExists;
using tqtest::WriteFile;
using Finding = TqBlkStoreFinding;

namespace {

constexpr int kExtent = 4096;

// Kind and path of a finding, for comparing sets of them.
using Seen = std::pair<std::string, std::string>;

std::set<Seen> problemsOf(const TqBlkStoreCheckReport& report) {
    std::set<Seen> seen;
    for (const Finding& f : report.findings)
        if (f.isProblem())
            seen.insert({tqblk_store_finding_name(f.kind), f.path});
    return seen;
}

const Finding* findingAt(const TqBlkStoreCheckReport& report, const std::string& path) {
    for (const Finding& f : report.findings)
        if (f.path == path)
            return &f;
    return nullptr;
}

int openDescriptors() {
    int n = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (::readdir(dir))
        ++n;
    ::closedir(dir);
    return n;
}

void makeSocket(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << path;
    ::close(fd);
}

// A recall store of 200 extents of 4 KiB (names data/GG/GG) with a few sound extents.
class StoreCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        CZyError err;
        store.reset(TqBlkRecallStore::create(dir().c_str(), "u", 200LL * kExtent, kExtent, &err));
        ASSERT_TRUE(store) << err.GetDescription();
    }

    std::string dir() const { return tmp / "store"; }
    std::string at(const std::string& relative) const { return dir() + "/" + relative; }
    // The path of relative, after making the directories that are to hold it.
    std::string to(const std::string& relative) const {
        EXPECT_OK(TqBlkBackingStore::makeParentDir(at(relative)));
        return at(relative);
    }

    // Puts extent e in place through the library, filled with byte fill.
    void putExtent(long long e, char fill) {
        std::string path;
        int fd = -1;
        ASSERT_OK(store->openTempFile(&path, &fd));
        std::string bytes(kExtent, fill);
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), kExtent);
        ::close(fd);
        ASSERT_OK(store->moveInExtentFile(path.c_str(), e));
    }

    // Every temporary file counts as a leftover, however young.
    static TqBlkStoreCheckOptions plain() {
        TqBlkStoreCheckOptions options;
        options.tempFileMinAge = 0;
        return options;
    }

    TqBlkStoreCheckReport check(const TqBlkStoreCheckOptions& options = plain()) {
        TqBlkStoreCheckReport report;
        CZyError err = tqblk_check_store(dir().c_str(), options, &report);
        EXPECT_FALSE(err.IsError()) << err.GetDescription();
        return report;
    }

    static TqBlkStoreCheckOptions repairing(bool prune = false) {
        TqBlkStoreCheckOptions options = plain();
        options.storeKind = TQBLK_CHECK_STORE_RECALL;
        options.repair = true;
        options.pruneDamagedExtents = prune;
        return options;
    }

    tqtest::TempDir tmp;
    std::unique_ptr<TqBlkRecallStore> store;
};

TEST_F(StoreCheck, SoundStoreChecksCleanWithLinksAndSparseExtents) {
    EXPECT_EQ(check().exitCode(), 0);  // no data tree yet
    putExtent(0, 'a');
    putExtent(199, 'b');
    ASSERT_OK(store->createExtentWithNUL(5));
    // A soft link to a sound file and a hard link count as extents too.
    WriteFile(tmp / "outside", std::string(kExtent, 'c'));
    ASSERT_OK(store->softLinkExtentFile(tmp / "outside", 6));
    ASSERT_EQ(::link(at("data/00/00").c_str(), at("data/00/07").c_str()), 0);

    TqBlkStoreCheckReport report = check();
    EXPECT_EQ(report.exitCode(), 0);
    EXPECT_EQ(report.problems, 0);
    EXPECT_TRUE(report.findings.empty());
    EXPECT_EQ(report.extentsPresent, 5);
    EXPECT_EQ(report.extentCount, 200);
    EXPECT_FALSE(report.lockedByOther);
}

TEST_F(StoreCheck, EmptyDirectoriesAreReportedButLeaveTheStoreClean) {
    putExtent(130, 'a');
    ASSERT_OK(store->pruneExtentFile(130));
    TqBlkStoreCheckReport report = check();
    EXPECT_EQ(report.exitCode(), 0);
    ASSERT_EQ(report.findings.size(), 1u);
    EXPECT_EQ(report.findings[0].kind, Finding::TQBLK_FINDING_EMPTY_DIRECTORY);
    EXPECT_EQ(report.findings[0].path, "data/01");
    EXPECT_FALSE(report.findings[0].isProblem());
}

TEST_F(StoreCheck, EveryPlantedFaultIsFoundAndNothingIsChanged) {
    putExtent(1, 'a');
    WriteFile(to("data/00/02"), "short");                                   // wrong size
    ASSERT_EQ(::symlink("nowhere", to("data/00/03").c_str()), 0);           // dangling
    ASSERT_EQ(::symlink(tmp.path().c_str(), to("data/00/04").c_str()), 0);  // link to a dir
    ASSERT_EQ(::mkfifo(to("data/00/05").c_str(), 0666), 0);
    makeSocket(to("data/00/06"));
    ASSERT_EQ(::mkdir(to("data/00/07").c_str(), 0777), 0);   // directory where a file belongs
    WriteFile(to("data/00/0A"), std::string(kExtent, 'x'));  // upper case
    WriteFile(to("data/00/123"), std::string(kExtent, 'x'));
    WriteFile(to("data/00/80"), std::string(kExtent, 'x'));  // group past 7f
    WriteFile(to("data/01/48"), std::string(kExtent, 'x'));  // extent 200: out of range
    ASSERT_EQ(::mkdir(to("data/05").c_str(), 0777), 0);      // extents from 640: out of range
    WriteFile(to("data/02/00"), "");                         // extents from 256: out of range
    WriteFile(to("junk"), "");
    WriteFile(to("config.tmp.12.0"), "");
    WriteFile(to("tmp/temp00ab"), "x");
    ASSERT_EQ(::mkdir(to("tmp/sub").c_str(), 0777), 0);

    TqBlkStoreCheckReport report = check();
    const std::set<Seen> expected = {
        {"wrong-size", "data/00/02"},  {"dangling-link", "data/00/03"},
        {"wrong-type", "data/00/04"},  {"wrong-type", "data/00/05"},
        {"wrong-type", "data/00/06"},  {"wrong-type", "data/00/07"},
        {"bad-name", "data/00/0A"},    {"bad-name", "data/00/123"},
        {"bad-name", "data/00/80"},    {"out-of-range", "data/01/48"},
        {"out-of-range", "data/05"},   {"out-of-range", "data/02"},
        {"unknown-entry", "junk"},     {"temp-file", "config.tmp.12.0"},
        {"temp-file", "tmp/temp00ab"}, {"unknown-entry", "tmp/sub"},
    };
    EXPECT_EQ(problemsOf(report), expected);
    EXPECT_EQ(report.problems, static_cast<long long>(expected.size()));
    EXPECT_EQ(report.repaired, 0);
    EXPECT_EQ(report.exitCode(), 4);
    EXPECT_EQ(report.extentsPresent, 1);
    EXPECT_EQ(findingAt(report, "data/00/02")->detail, "5 bytes, expected 4096");
    EXPECT_EQ(findingAt(report, "data/00/03")->detail, "soft link to nowhere leads nowhere");
    EXPECT_EQ(findingAt(report, "data/01/48")->detail, "extent 200 is past the last extent 199");
    EXPECT_EQ(findingAt(report, "data/00/05")->detail, "a FIFO where an extent file belongs");
    for (const char* left : {"data/00/02", "data/00/03", "data/00/05", "tmp/temp00ab", "junk"})
        EXPECT_TRUE(PathExists(at(left))) << left;
}

TEST_F(StoreCheck, NonDirectoriesWhereDirectoriesBelongAreFound) {
    WriteFile(to("data/01"), "");
    ASSERT_EQ(::symlink(tmp.path().c_str(), to("data/00").c_str()), 0);
    WriteFile(to("tmp"), "");
    TqBlkStoreCheckReport report = check();
    EXPECT_EQ(problemsOf(report), (std::set<Seen>{{"not-a-directory", "data/00"},
                                                  {"not-a-directory", "data/01"},
                                                  {"not-a-directory", "tmp"}}));
    EXPECT_EQ(findingAt(report, "data/00")->detail, "a soft link where a directory belongs");

    tqtest::RemoveTree(at("data"));
    ASSERT_EQ(::mkfifo(at("data").c_str(), 0666), 0);
    report = check();
    EXPECT_EQ(findingAt(report, "data")->detail, "a FIFO where a directory belongs");
}

TEST_F(StoreCheck, BadConfigIsAFindingAndTheTreeIsNotWalked) {
    WriteFile(to("data/00/02"), "short");
    struct Case {
        std::function<void()> plant;
        std::string detail;
    };
    const std::string config = at("config");
    const std::vector<Case> cases = {
        {[&] { ::unlink(config.c_str()); }, "missing"},
        {[&] { ::mkfifo(config.c_str(), 0666); }, "not a regular file"},
        {[&] { WriteFile(config, "device_size=8\nextent_size=4\n"); },
         "Couldn't find UUID in config file " + config},
        {[&] { WriteFile(config, "uuid=u\ndevice_size=8\nextent_size=3\n"); },
         "Invalid extent size 3 in config file " + config},
    };
    for (const Case& c : cases) {
        ::unlink(config.c_str());
        c.plant();
        TqBlkStoreCheckReport report = check();
        ASSERT_EQ(report.findings.size(), 1u) << c.detail;
        EXPECT_EQ(report.findings[0].kind, Finding::TQBLK_FINDING_BAD_CONFIG);
        EXPECT_EQ(report.findings[0].detail, c.detail);
        EXPECT_EQ(report.extentCount, 0);
        EXPECT_EQ(report.exitCode(), 4);
    }
}

TEST_F(StoreCheck, DeviceSmallerThanOneExtentIsAFindingButTheTreeIsChecked) {
    WriteFile(to("config"), "uuid=u\ndevice_size=100\nextent_size=4096\n");
    WriteFile(to("data/00"), "short");
    TqBlkStoreCheckReport report = check();
    EXPECT_EQ(problemsOf(report),
              (std::set<Seen>{{"bad-config", "config"}, {"wrong-size", "data/00"}}));
    EXPECT_EQ(findingAt(report, "config")->detail,
              "device size 100 is smaller than one extent of 4096");
}

TEST_F(StoreCheck, RepairRemovesTempLeftoversAndLeavesEverythingElse) {
    putExtent(3, 'a');
    WriteFile(to("tmp/temp0001"), "partial");
    ASSERT_EQ(::mkfifo(to("tmp/temp0002").c_str(), 0666), 0);
    WriteFile(to("config.tmp.7.1"), "uuid=");

    TqBlkStoreCheckReport report = check(repairing());
    EXPECT_EQ(report.problems, 3);
    EXPECT_EQ(report.repaired, 3);
    EXPECT_EQ(report.exitCode(), 1);
    for (const Finding& f : report.findings)
        EXPECT_TRUE(f.repaired) << f.path;
    EXPECT_EQ(tqtest::ListDir(dir()), (std::vector<std::string>{"config", "data", "tmp"}));
    EXPECT_TRUE(tqtest::ListDir(at("tmp")).empty());
    EXPECT_EQ(check().exitCode(), 0);
    EXPECT_EQ(tqtest::ReadFile(at("data/00/03")), std::string(kExtent, 'a'));
}

TEST_F(StoreCheck, RepairLeavesDamagedExtentsUnlessPruningIsAsked) {
    WriteFile(to("data/00/02"), "short");
    ASSERT_EQ(::symlink("nowhere", to("data/00/03").c_str()), 0);
    ASSERT_EQ(::mkfifo(to("data/00/05").c_str(), 0666), 0);
    ASSERT_EQ(::mkdir(to("data/00/07").c_str(), 0777), 0);
    WriteFile(to("data/00/zz"), "stray");
    WriteFile(to("tmp/temp0001"), "partial");

    TqBlkStoreCheckReport report = check(repairing());
    EXPECT_EQ(report.problems, 6);
    EXPECT_EQ(report.repaired, 1);
    EXPECT_EQ(report.exitCode(), 4);
    EXPECT_TRUE(PathExists(at("data/00/02")));

    report = check(repairing(true));
    EXPECT_EQ(report.problems, 5);
    EXPECT_EQ(report.repaired, 3);
    for (const char* gone : {"data/00/02", "data/00/03", "data/00/05"})
        EXPECT_FALSE(PathExists(at(gone))) << gone;
    // A directory and a stray file may hold someone's data: they stay.
    EXPECT_TRUE(tqtest::IsDirectory(at("data/00/07")));
    EXPECT_TRUE(PathExists(at("data/00/zz")));
    EXPECT_EQ(report.exitCode(), 4);
}

TEST_F(StoreCheck, RepairRemovesNothingWhileAnotherHolderHasTheLock) {
    WriteFile(to("tmp/temp0001"), "partial");
    WriteFile(to("data/00/02"), "short");
    TqBlkStoreLock other;
    ASSERT_OK(other.lock(dir().c_str()));

    TqBlkStoreCheckReport report = check(repairing(true));
    EXPECT_TRUE(report.lockedByOther);
    EXPECT_EQ(report.problems, 2);
    EXPECT_EQ(report.repaired, 0);
    EXPECT_EQ(report.exitCode(), 4);
    EXPECT_TRUE(PathExists(at("tmp/temp0001")));
    EXPECT_TRUE(PathExists(at("data/00/02")));

    // A plain check only probes the lock and leaves it with its holder.
    EXPECT_TRUE(check().lockedByOther);
    EXPECT_TRUE(other.isLocked());
    other.unlock();
    report = check(repairing());
    EXPECT_FALSE(report.lockedByOther);
    EXPECT_FALSE(PathExists(at("tmp/temp0001")));
    // The checker let the lock go when it finished.
    EXPECT_OK(other.lock(dir().c_str()));
}

TEST_F(StoreCheck, VerifyAgainstAnImageFindsAChangedByte) {
    putExtent(0, 'a');
    putExtent(2, 'c');
    ASSERT_OK(store->createExtentWithNUL(150));  // past the image's end: zeros match
    std::string image =
        std::string(kExtent, 'a') + std::string(kExtent, 'b') + std::string(kExtent, 'c');
    WriteFile(tmp / "image", image);
    TqBlkStoreCheckOptions options;
    options.verifyAgainst = tmp / "image";
    EXPECT_EQ(check(options).exitCode(), 0);

    image[2 * kExtent + 100] = 'X';
    WriteFile(tmp / "image", image);
    TqBlkStoreCheckReport report = check(options);
    EXPECT_EQ(problemsOf(report), (std::set<Seen>{{"mismatch", "data/00/02"}}));
    EXPECT_EQ(findingAt(report, "data/00/02")->detail,
              "differs from " + options.verifyAgainst + " at device offset 8292");
    EXPECT_EQ(report.exitCode(), 4);

    // Pruning removes the wrong extent, so it is recalled again rather than served.
    TqBlkStoreCheckOptions pruning = repairing(true);
    pruning.verifyAgainst = options.verifyAgainst;
    report = check(pruning);
    EXPECT_TRUE(findingAt(report, "data/00/02")->repaired);
    EXPECT_EQ(report.exitCode(), 1);
    EXPECT_FALSE(PathExists(at("data/00/02")));
    EXPECT_EQ(check(options).exitCode(), 0);
}

TEST_F(StoreCheck, VerifyAgainstAStoreReadsAbsentExtentsAsZeros) {
    putExtent(0, 'a');
    ASSERT_OK(store->createExtentWithNUL(9));
    CZyError err;
    // Larger extents in the source: one of its files covers several of ours.
    std::unique_ptr<TqBlkPrivateStore> source(TqBlkPrivateStore::create(
        (tmp / "source").c_str(), "s", 200LL * kExtent, 4 * kExtent, &err));
    ASSERT_TRUE(source) << err.GetDescription();
    int fd = -1;
    ASSERT_OK(source->openExtentFile(0, O_WRONLY | O_CREAT, &fd));
    std::string bytes = std::string(kExtent, 'a') + std::string(3 * kExtent, 'z');
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), 4 * kExtent);
    ::close(fd);

    TqBlkStoreCheckOptions options;
    options.verifyAgainst = tmp / "source";
    EXPECT_EQ(check(options).exitCode(), 0);
    putExtent(1, 'q');
    TqBlkStoreCheckReport report = check(options);
    EXPECT_EQ(problemsOf(report), (std::set<Seen>{{"mismatch", "data/00/01"}}));
}

TEST_F(StoreCheck, UnreadableDirectoryIsAFindingAndTheRestIsChecked) {
    putExtent(3, 'a');
    putExtent(130, 'b');
    ASSERT_EQ(::chmod(at("data/00").c_str(), 0), 0);
    std::string outcome = tqtest::RunUnprivileged([&]() -> std::string {
        TqBlkStoreCheckReport report;
        CZyError err = tqblk_check_store(dir().c_str(), {}, &report);
        if (err.IsError())
            return err.GetDescription();
        if (problemsOf(report) != std::set<Seen>{{"unreadable", "data/00"}})
            return "unexpected findings";
        if (report.findings[0].detail != "couldn't examine it: Permission denied")
            return report.findings[0].detail;
        return report.extentsPresent == 1 ? "" : "extent 130 not counted";
    });
    EXPECT_EQ(outcome, "");
}

TEST_F(StoreCheck, CheckThatCannotRunIsAnError) {
    TqBlkStoreCheckReport report;
    report.problems = 7;
    EXPECT_TRUE(HasError(tqblk_check_store((tmp / "none").c_str(), {}, &report), ENOENT,
                         {"Couldn't open backing store directory " + (tmp / "none"),
                          "Couldn't check backing store " + (tmp / "none")}));
    EXPECT_EQ(report.problems, 0);
    EXPECT_TRUE(HasError(tqblk_check_store(at("config").c_str(), {}, &report), ENOTDIR,
                         {"Couldn't open backing store directory " + at("config"),
                          "Couldn't check backing store " + at("config")}));
    EXPECT_TRUE(HasError(
        tqblk_check_store(nullptr, {}, &report), EINVAL,
        {"NULL or empty directory passed as input", "Couldn't check backing store (null)"}));
    // A verify source that is not there fails before anything is repaired.
    WriteFile(to("tmp/temp0001"), "partial");
    TqBlkStoreCheckOptions options = repairing();
    options.verifyAgainst = tmp / "no-image";
    CZyError err = tqblk_check_store(dir().c_str(), options, &report);
    EXPECT_EQ(err.GetErrNo(), ENOENT);
    EXPECT_TRUE(PathExists(at("tmp/temp0001")));
}

TEST_F(StoreCheck, DeepOrHugeTreesAreWalkedInBoundedDepthAndMemory) {
    // Far deeper than any store: the walk stops at the name depth.
    std::string deep = to("data/00/07");
    ASSERT_EQ(::mkdir(deep.c_str(), 0777), 0);
    for (int i = 0; i < 300; ++i) {
        deep += "/00";
        ASSERT_EQ(::mkdir(deep.c_str(), 0777), 0);
    }
    for (int i = 0; i < 50; ++i)
        WriteFile(to("data/01/x" + std::to_string(i)), "");
    const int before = openDescriptors();
    TqBlkStoreCheckOptions options;
    options.maxFindings = 10;
    TqBlkStoreCheckReport report = check(options);
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(report.problems, 51);
    EXPECT_EQ(report.findings.size(), 10u);
    EXPECT_EQ(report.findingsDropped, 41);
    EXPECT_EQ(report.exitCode(), 4);
}

// The last extent of a device of 100,000 bytes in extents of 64 KiB is whole or cut at the
// device's end (34,464 bytes); any other size, or a cut extent elsewhere, is damage.
TEST(StoreCheckLastExtent, WholeOrCutAtTheDeviceEndIsSound) {
    struct Case {
        long long extent, size;
        int exitCode;
    };
    const std::vector<Case> cases = {
        {1, 34464, 0}, {1, 65536, 0}, {1, 34465, 4}, {1, 0, 4}, {0, 34464, 4}};
    for (const Case& c : cases) {
        tqtest::TempDir tmp;
        CZyError err;
        std::unique_ptr<TqBlkRecallStore> store(
            TqBlkRecallStore::create((tmp / "s").c_str(), "u", 100000, 65536, &err));
        ASSERT_TRUE(store) << err.GetDescription();
        ASSERT_OK(store->createExtentWithNUL(1 - c.extent));
        std::string path;
        ASSERT_OK(store->getExtentFileName(c.extent, &path));
        ASSERT_OK(TqBlkBackingStore::makeParentDir(path));
        WriteFile(path, std::string(static_cast<size_t>(c.size), 'x'));
        std::string image(100000, '\0');
        std::fill(image.begin() + 65536 * c.extent,
                  image.begin() + std::min(100000LL, 65536 * c.extent + c.size), 'x');
        WriteFile(tmp / "image", image);
        TqBlkStoreCheckOptions options;
        options.verifyAgainst = tmp / "image";
        options.storeKind = TQBLK_CHECK_STORE_RECALL;
        options.repair = options.pruneDamagedExtents = true;
        TqBlkStoreCheckReport report;
        ASSERT_OK(tqblk_check_store((tmp / "s").c_str(), options, &report));
        EXPECT_EQ(report.exitCode(), c.exitCode == 0 ? 0 : 1) << c.extent << " " << c.size;
        EXPECT_EQ(report.extentsPresent, c.exitCode == 0 ? 2 : 1) << c.extent << " " << c.size;
        EXPECT_EQ(PathExists(path), c.exitCode == 0) << c.extent << " " << c.size;
    }
}

// A private store's extents differ from its base by design: they are "changed", and no prune
// runs on a store not known to be a recall store unless allowed.
TEST_F(StoreCheck, PrivateStoresAreNotPrunedByTheirBase) {
    putExtent(2, 'c');
    WriteFile(tmp / "image", std::string(3 * kExtent, 'b'));
    WriteFile(to("data/00/05"), "short");
    TqBlkStoreCheckOptions options = plain();
    options.verifyAgainst = tmp / "image";
    options.storeKind = TQBLK_CHECK_STORE_PRIVATE;
    TqBlkStoreCheckReport report = check(options);
    EXPECT_EQ(findingAt(report, "data/00/02")->kind, Finding::TQBLK_FINDING_CHANGED);
    EXPECT_EQ(report.problems, 1);  // the short file
    struct Case {
        TqBlkCheckStoreKind kind;
        bool allow;
        int errnoValue;
    };
    for (const Case& c : {Case{TQBLK_CHECK_STORE_UNKNOWN, false, EPERM},
                          Case{TQBLK_CHECK_STORE_PRIVATE, false, EPERM},
                          Case{TQBLK_CHECK_STORE_PRIVATE, true, 0}}) {
        options.pruneDamagedExtents = options.repair = true;
        options.storeKind = c.kind;
        options.allowPrivatePrune = c.allow;
        EXPECT_EQ(tqblk_check_store(dir().c_str(), options, &report).GetErrNo(), c.errnoValue);
        EXPECT_EQ(PathExists(at("data/00/02")), c.errnoValue != 0) << c.kind;
    }
}

TEST_F(StoreCheck, YoungTemporaryFilesAreInUseAndKept) {
    WriteFile(to("tmp/temp00ab"), "partial");
    TqBlkStoreCheckOptions options = repairing();
    options.tempFileMinAge = 900;
    TqBlkStoreCheckReport report = check(options);
    EXPECT_EQ(findingAt(report, "tmp/temp00ab")->kind, Finding::TQBLK_FINDING_TEMP_IN_USE);
    EXPECT_EQ(report.exitCode(), 0);
    EXPECT_TRUE(PathExists(at("tmp/temp00ab")));
}

// The library reads "64K" as 64; the checker reads numbers whole and prunes nothing then.
TEST_F(StoreCheck, ConfigNumbersMustBeWholeAndInRange) {
    putExtent(3, 'a');
    for (const char* config : {"uuid=u\ndevice_size=819200\nextent_size=4K\n",
                               "uuid=u\ndevice_size=800k\nextent_size=4096\n",
                               "uuid=u\ndevice_size=99999999999999999999\nextent_size=4096\n",
                               "uuid=u\ndevice_size=819200\nextent_size=8589934592\n"}) {
        WriteFile(at("config"), config);
        TqBlkStoreCheckReport report = check(repairing(true));
        EXPECT_EQ(problemsOf(report), (std::set<Seen>{{"bad-config", "config"}})) << config;
        EXPECT_TRUE(PathExists(at("data/00/03"))) << config;
    }
}

// Out of descriptors at any point, the check fails with EMFILE: never a finding.
TEST_F(StoreCheck, OwnResourceFailuresAreErrorsNotFindings) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's runtime needs descriptors of its own";
#endif
    for (long long e : {0LL, 3LL, 130LL, 199LL})
        putExtent(e, 'a');
    for (rlim_t limit = 4; limit < 24; ++limit) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int fd = 3; fd < 1024; ++fd)
                ::close(fd);
            struct rlimit cap = {limit, limit};
            ::setrlimit(RLIMIT_NOFILE, &cap);
            TqBlkStoreCheckOptions options;
            TqBlkStoreCheckReport report;
            CZyError err = tqblk_check_store(dir().c_str(), options, &report);
            if (err.IsError())
                ::_exit(err.GetErrNo() == EMFILE ? 0 : 1);
            ::_exit(report.problems == 0 && report.extentsPresent == 4 ? 0 : 2);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_EQ(status, 0) << "descriptor limit " << limit;
    }
}

TEST(StoreCheckThreads, WalkersSplitTheTreeAndFindTheSame) {
    tqtest::TempDir tmp;
    CZyError err;
    // 2^15 extents: three name groups, so the top level has 2 directories to share out.
    std::unique_ptr<TqBlkRecallStore> store(
        TqBlkRecallStore::create((tmp / "s").c_str(), "u", 32768LL * 512, 512, &err));
    ASSERT_TRUE(store) << err.GetDescription();
    for (long long e : {0LL, 200LL, 16384LL, 16385LL, 32767LL})
        ASSERT_OK(store->createExtentWithNUL(e));
    WriteFile(tmp / "s/data/00/00/05", "short");
    WriteFile(tmp / "s/data/01/7f/05", "short");
    WriteFile(tmp / "s/data/stray", "");
    std::set<Seen> first;
    for (unsigned threads : {1u, 2u, 3u, 8u}) {
        TqBlkStoreCheckOptions options;
        options.threads = threads;
        TqBlkStoreCheckReport report;
        ASSERT_OK(tqblk_check_store((tmp / "s").c_str(), options, &report));
        EXPECT_EQ(report.extentsPresent, 5) << threads;
        EXPECT_EQ(report.problems, 3) << threads;
        if (threads == 1)
            first = problemsOf(report);
        EXPECT_EQ(problemsOf(report), first) << threads;
    }
}

TEST(StoreCheckNames, EveryKindHasItsName) {
    EXPECT_STREQ(tqblk_store_finding_name(Finding::TQBLK_FINDING_WRONG_SIZE), "wrong-size");
    EXPECT_STREQ(tqblk_store_finding_name(Finding::TQBLK_FINDING_EMPTY_DIRECTORY),
                 "empty-directory");
    std::set<std::string> names;
    for (int k = Finding::TQBLK_FINDING_BAD_CONFIG; k <= Finding::TQBLK_FINDING_EMPTY_DIRECTORY;
         ++k)
        names.insert(tqblk_store_finding_name(static_cast<Finding::Kind>(k)));
    EXPECT_EQ(names.size(), 12u);
    EXPECT_EQ(names.count("unknown"), 0u);
}

TEST(StoreLock, SecondHolderIsRefusedUntilTheFirstLetsGo) {
    tqtest::TempDir tmp;
    const std::string dir = tmp.path();
    TqBlkStoreLock first, second;
    ASSERT_OK(first.lock(dir.c_str()));
    EXPECT_TRUE(first.isLocked());
    EXPECT_TRUE(HasError(second.lock(dir.c_str()), EWOULDBLOCK,
                         {"Backing store " + dir + " is in use by another process"}));
    EXPECT_FALSE(second.isLocked());
    first.unlock();
    EXPECT_FALSE(first.isLocked());
    ASSERT_OK(second.lock(dir.c_str()));
    {
        TqBlkStoreLock scoped;
        EXPECT_EQ(scoped.lock(dir.c_str()).GetErrNo(), EWOULDBLOCK);
        second.unlock();
        ASSERT_OK(scoped.lock(dir.c_str()));
    }
    // The destructor released it.
    EXPECT_OK(first.lock(dir.c_str()));
    EXPECT_TRUE(tqtest::ListDir(dir).empty());
}

TEST(StoreLock, RefusesMissingAndEmptyDirectories) {
    tqtest::TempDir tmp;
    TqBlkStoreLock lock;
    EXPECT_TRUE(HasError(lock.lock((tmp / "none").c_str()), ENOENT,
                         {"Couldn't open backing store directory " + (tmp / "none")}));
    EXPECT_TRUE(HasError(lock.lock(""), EINVAL, {"NULL or empty directory passed as input"}));
    EXPECT_FALSE(lock.isLocked());
}

}  // namespace
