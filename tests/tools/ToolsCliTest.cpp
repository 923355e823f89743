// tqblk-ctl and tqblk-recalld as an operator or a script meets them: strict numbers, help,
// version and usage errors with their exit codes, create-store refusing to touch a user's
// files, commands that act only on stores, and JSON output that parses back.
#include "Numbers.h"
#include "TestSupport.h"

#include <tqblk/TqBlkBackingStore.h>

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <memory>

using tqtest::ReadFile;
using tqtest::WriteFile;

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a program with args (already quoted for the shell), capturing both outputs.
ToolRun run(const std::string& program, const std::string& args, const tqtest::TempDir& tmp) {
    const std::string errPath = tmp / "stderr";
    tqtest::CommandRun command = tqtest::RunCommand(program + " " + args + " 2>" + errPath);
    return ToolRun{command.status, command.out, ReadFile(errPath)};
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Every path below dir with its content (files) or kind, to compare a tree before and after.
std::string snapshot(const std::string& dir) {
    std::string text;
    for (const std::string& name : tqtest::ListDir(dir)) {
        const std::string path = dir + "/" + name;
        struct stat st;
        ::lstat(path.c_str(), &st);
        if (S_ISDIR(st.st_mode))
            text += name + "/ {" + snapshot(path) + "}\n";
        else
            text += name + " = " + ReadFile(path) + "\n";
    }
    return text;
}

class ToolsCli : public ::testing::Test {
  protected:
    ToolRun ctl(const std::string& args) { return run(TQBLK_CTL_PATH, args, tmp); }
    ToolRun recalld(const std::string& args) { return run(TQBLK_RECALLD_PATH, args, tmp); }

    tqtest::TempDir tmp;
};

TEST(ToolNumbers, SizesTakeBinarySuffixesAndRejectAnythingElseNamingTheArgument) {
    long long v = -1;
    EXPECT_EQ(tqtools::parseSize("S", "4096", 1, 1LL << 60, &v), "");
    EXPECT_EQ(v, 4096);
    const std::pair<const char*, long long> good[] = {
        {"64K", 64LL << 10}, {"64KiB", 64LL << 10}, {"64M", 64LL << 20}, {"3MiB", 3LL << 20},
        {"2G", 2LL << 30},   {"2GiB", 2LL << 30},   {"1T", 1LL << 40},   {"5TiB", 5LL << 40}};
    for (const auto& g : good) {
        EXPECT_EQ(tqtools::parseSize("S", g.first, 1, 1LL << 60, &v), "") << g.first;
        EXPECT_EQ(v, g.second) << g.first;
    }
    v = 7;
    for (const char* bad : {"", "abc", "64X", "64 M", " 64", "64MB", "0x10", "-1", "+5", "1.5G",
                            "64Mi", "k", "64m"}) {
        std::string error = tqtools::parseSize("DEVICE_SIZE", bad, 1, 1LL << 60, &v);
        EXPECT_EQ(error, std::string("DEVICE_SIZE: \"") + bad +
                             "\" is not a size (bytes, or a number with K, M, G, T, KiB, MiB, "
                             "GiB or TiB)");
    }
    EXPECT_EQ(v, 7) << "a failed parse leaves the value alone";
    EXPECT_EQ(tqtools::parseSize("S", "0", 1, 100, &v), "S: \"0\" is out of range (1 to 100)");
    EXPECT_EQ(tqtools::parseSize("S", "1K", 1, 100, &v), "S: \"1K\" is out of range (1 to 100)");
    // Overflow of 64 bits, in the digits or through the suffix, is out of range, not a wrap.
    EXPECT_NE(tqtools::parseSize("S", "99999999999999999999", 1, 1LL << 60, &v), "");
    EXPECT_NE(tqtools::parseSize("S", "9000000T", 1, INT64_MAX, &v), "");
    EXPECT_EQ(v, 7);
}

TEST(ToolNumbers, IntegersAreWholeDecimalNumbersInRange) {
    long long v = 0;
    EXPECT_EQ(tqtools::parseInteger("COUNT", "42", 0, 100, &v), "");
    EXPECT_EQ(v, 42);
    EXPECT_EQ(tqtools::parseInteger("VALUE", "-3", -10, 10, &v), "");
    EXPECT_EQ(v, -3);
    EXPECT_EQ(tqtools::parseInteger("COUNT", "abc", 0, 100, &v),
              "COUNT: \"abc\" is not a whole number");
    EXPECT_EQ(tqtools::parseInteger("COUNT", "-1", 0, 100, &v),
              "COUNT: \"-1\" is not a whole number");
    EXPECT_EQ(tqtools::parseInteger("--workers", "257", 1, 256, &v),
              "--workers: \"257\" is out of range (1 to 256)");
    EXPECT_EQ(tqtools::parseInteger("N", "12abc", 0, 100, &v),
              "N: \"12abc\" is not a whole number");
    EXPECT_EQ(tqtools::parseInteger("N", "-9223372036854775808", INT64_MIN, 0, &v), "");
    EXPECT_EQ(v, INT64_MIN);
}

TEST_F(ToolsCli, HelpAndVersionGoToStdoutWithExitZero) {
    for (const char* program : {TQBLK_CTL_PATH, TQBLK_RECALLD_PATH}) {
        ToolRun help = run(program, "--help", tmp);
        EXPECT_EQ(help.status, 0) << program;
        EXPECT_TRUE(contains(help.out, "Usage:")) << help.out;
        EXPECT_TRUE(contains(help.out, "Exit status: 0")) << help.out;
        EXPECT_EQ(help.err, "");
        ToolRun version = run(program, "--version", tmp);
        EXPECT_EQ(version.status, 0);
        const std::string name = std::string(program).substr(std::string(program).rfind('/') + 1);
        EXPECT_EQ(version.out.rfind(name + " 1.", 0), 0u) << version.out;
    }
    ToolRun sub = ctl("create-store --help");
    EXPECT_EQ(sub.status, 0);
    EXPECT_TRUE(contains(sub.out, "KIND DIR UUID DEVICE_SIZE EXTENT_SIZE")) << sub.out;
    EXPECT_TRUE(contains(sub.out, "--force")) << sub.out;
}

TEST_F(ToolsCli, MistakesExitTwoNamingTheWordAndTheNearestValidOne) {
    ToolRun noCommand = ctl("");
    EXPECT_EQ(noCommand.status, 2);
    ToolRun command = ctl("creat-store private d u 1M 4K");
    EXPECT_EQ(command.status, 2);
    EXPECT_EQ(command.err.substr(0, command.err.find('\n')),
              "tqblk-ctl: unknown command creat-store (did you mean create-store?)");
    ToolRun option = ctl("create-store --forse private d u 1M 4K");
    EXPECT_EQ(option.status, 2);
    EXPECT_TRUE(contains(option.err,
                         "unknown option --forse for create-store (did you mean "
                         "--force?)"))
        << option.err;
    ToolRun mru = ctl("set-mru dev abc");
    EXPECT_EQ(mru.status, 2);
    EXPECT_TRUE(contains(mru.err, "COUNT: \"abc\" is not a whole number")) << mru.err;
    ToolRun size = ctl("create-store private " + (tmp / "s") + " u 64X 4K");
    EXPECT_EQ(size.status, 2);
    EXPECT_TRUE(contains(size.err, "DEVICE_SIZE: \"64X\"")) << size.err;
    EXPECT_FALSE(tqtest::PathExists(tmp / "s"));

    ToolRun workers = recalld("--uuid u --recall-store " + (tmp / "r") + " --image i --workers 0");
    EXPECT_EQ(workers.status, 2);
    EXPECT_TRUE(contains(workers.err, "--workers: \"0\" is out of range (1 to 256)"))
        << workers.err;
    ToolRun log = recalld("--uuid u --recall-store r --image i --log file");
    EXPECT_EQ(log.status, 2);
    EXPECT_TRUE(contains(log.err, "--log: \"file\" is not one of stderr, syslog, journal"))
        << log.err;
    ToolRun typo = recalld("--uuid u --recall-store r --imag i");
    EXPECT_EQ(typo.status, 2);
    EXPECT_TRUE(contains(typo.err, "unknown option --imag (did you mean --image?)")) << typo.err;
    ToolRun twoSources = recalld("--uuid u --recall-store r --image i --source-store s");
    EXPECT_EQ(twoSources.status, 2);
}

TEST_F(ToolsCli, CreateStoreReadsSizeSuffixes) {
    ToolRun made = ctl("create-store recall " + (tmp / "s") + " u 64M 64KiB");
    ASSERT_EQ(made.status, 0) << made.err;
    CZyError err;
    std::unique_ptr<TqBlkRecallStore> store(TqBlkRecallStore::open((tmp / "s").c_str(), &err));
    ASSERT_TRUE(store) << err.GetDescription();
    EXPECT_EQ(store->getDeviceSize(), 64LL << 20);
    EXPECT_EQ(store->getExtentSize(), 64 << 10);
}

TEST_F(ToolsCli, CreateStoreRefusesADirectoryWithFilesOrAStoreAndChangesNothing) {
    const std::string dir = tmp / "home";
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    WriteFile(dir + "/thesis.tex", "years of work");
    ASSERT_EQ(::mkdir((dir + "/figures").c_str(), 0755), 0);
    WriteFile(dir + "/figures/plot.png", "png");
    const std::string before = snapshot(dir);
    ToolRun refused = ctl("create-store private " + dir + " u 1M 4K");
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(contains(refused.err, dir + " is not empty and not a store: it holds 2 entries "
                                            "(figures, thesis.tex); --force empties it"))
        << refused.err;
    EXPECT_EQ(snapshot(dir), before);

    const std::string store = tmp / "store";
    ASSERT_EQ(ctl("create-store recall " + store + " first 1M 4K").status, 0);
    const std::string config = ReadFile(store + "/config");
    ToolRun again = ctl("create-store private " + store + " second 2M 8K");
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(contains(again.err, store + " is already a store (UUID first, device size " +
                                        "1048576, extent size 4096); --force replaces it"))
        << again.err;
    EXPECT_EQ(ReadFile(store + "/config"), config);

    WriteFile(tmp / "file", "x");
    EXPECT_EQ(ctl("create-store private " + (tmp / "file") + " u 1M 4K").status, 1);
    EXPECT_EQ(ReadFile(tmp / "file"), "x");

    EXPECT_EQ(ctl("create-store private " + store + " second 2M 8K --force").status, 0);
    EXPECT_NE(ReadFile(store + "/config"), config);
    const std::string empty = tmp / "empty";
    ASSERT_EQ(::mkdir(empty.c_str(), 0755), 0);
    EXPECT_EQ(ctl("create-store private " + empty + " u 1M 4K").status, 0);
}

TEST_F(ToolsCli, ClearAndRemoveActOnlyOnAStore) {
    const std::string dir = tmp / "plain";
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    WriteFile(dir + "/notes", "keep");
    const std::string before = snapshot(dir);
    ToolRun clear = ctl("clear-store " + dir);
    EXPECT_EQ(clear.status, 1);
    ToolRun remove = ctl("remove-store " + dir);
    EXPECT_EQ(remove.status, 1);
    EXPECT_TRUE(contains(remove.err, "remove-store: ")) << remove.err;
    EXPECT_EQ(remove.err.find('\n'), remove.err.size() - 1) << "one line without -v";
    EXPECT_EQ(snapshot(dir), before);
    ToolRun verbose = ctl("-v remove-store " + dir);
    EXPECT_GT(std::count(verbose.err.begin(), verbose.err.end(), '\n'), 1) << verbose.err;
}

TEST_F(ToolsCli, EmptyNamesArePathsOfNothingAndUsageErrors) {
    // Should a value pass, no real admin node is reached.
    const std::string env = "env TQBLK_ADMIN_NODE=" + (tmp / "none") + " ";
    const std::string recalld = env + TQBLK_RECALLD_PATH + " --uuid u --recall-store " + tmp.path();
    for (const std::string& command :
         {env + TQBLK_CTL_PATH + " check-store " + tmp.path() + " --verify-against ''",
          env + TQBLK_CTL_PATH + " create-store private '' u 1M 4K",
          env + TQBLK_CTL_PATH + " --admin-node '' status u --recall ''", recalld + " --image ''",
          recalld + " --source-store ''", recalld + " --source ''",
          recalld + " --source http://127.0.0.1:9/i --remote-tries 1 --cacert ''"}) {
        ToolRun r = run(command, "", tmp);
        EXPECT_EQ(r.status, 2) << command << "\n" << r.err;
        EXPECT_TRUE(contains(r.err, ": is empty")) << r.err;
    }
}

// Under umask 000 a store is still writable by its owner alone.
TEST_F(ToolsCli, StoresAreNeverMadeWorldWritable) {
    const std::string create = TQBLK_CTL_PATH " create-store private " + (tmp / "s") + " u 1M 4K";
    EXPECT_EQ(run("umask 000;", create, tmp).status, 0);
    struct stat st;
    EXPECT_EQ(::stat((tmp / "s/config").c_str(), &st) == 0 ? st.st_mode & 0777 : 0, 0644u);
}

// tqblk-recalld removes a killed service's temporary files only from a store it has opened.
TEST_F(ToolsCli, RecalldTouchesNothingInADirectoryThatIsNoStore) {
    ASSERT_OK(TqBlkBackingStore::mkdir(tmp / "x/tmp"));
    WriteFile(tmp / "x/tmp/f", "keep");
    EXPECT_EQ(recalld("--uuid x --recall-store " + (tmp / "x") + " --image /dev/null").status, 1);
    EXPECT_EQ(ReadFile(tmp / "x/tmp/f"), "keep");
}

TEST_F(ToolsCli, BitmapJsonParsesBackWithTheStoreCounts) {
    const std::string dir = tmp / "store";
    CZyError err;
    std::unique_ptr<TqBlkRecallStore> store(
        TqBlkRecallStore::create(dir.c_str(), "u", 40000LL * 4096, 4096, &err));
    ASSERT_TRUE(store) << err.GetDescription();
    for (long long extent : {3LL, 4LL, 32768LL + 5})
        ASSERT_OK(store->createExtentWithNUL(extent));
    ToolRun bitmap = ctl("bitmap --json " + dir);
    ASSERT_EQ(bitmap.status, 0) << bitmap.err;
    nlohmann::json j = nlohmann::json::parse(bitmap.out);
    EXPECT_EQ(j["store"], dir);
    EXPECT_EQ(j["extent_count"], 40000);
    EXPECT_EQ(j["extents_present"], 3);
    EXPECT_EQ(j["extents_per_chunk"], 32768);
    ASSERT_EQ(j["chunks"].size(), 2u);
    EXPECT_EQ(j["chunks"][0]["present"], 2);
    EXPECT_EQ(j["chunks"][1]["chunk"], 1);
    EXPECT_EQ(j["chunks"][1]["present"], 1);
}

TEST_F(ToolsCli, DriverCommandsWithoutANodeSayWhatFailedAndHint) {
    ToolRun config = ctl("--admin-node " + (tmp / "no-such-node") + " get-config");
    EXPECT_EQ(config.status, 1);
    EXPECT_EQ(config.err.substr(0, config.err.find('\n')), "tqblk-ctl: get-config: Couldn't open " +
                                                               (tmp / "no-such-node") +
                                                               ": No such file or directory");
    EXPECT_TRUE(contains(config.err, "hint: no admin node at " + (tmp / "no-such-node")))
        << config.err;
    ToolRun env =
        run("TQBLK_ADMIN_NODE=" + (tmp / "other") + " " + TQBLK_CTL_PATH, "check dev", tmp);
    EXPECT_EQ(env.status, 1);
    EXPECT_TRUE(contains(env.err, "Couldn't open " + (tmp / "other"))) << env.err;
}

// Output a script can trust: names that are not UTF-8 stay distinct in JSON, and bitmap
// prints runs of present extents, its size following the extents present, not the store's.
TEST_F(ToolsCli, JsonKeepsNamesDistinctAndBitmapPrintsRuns) {
    const std::pair<std::string, std::string> names[] = {{"s\xff", "s\\xff"},
                                                         {"s\xfe", "s\\xfe"},
                                                         {"s\\xff", "s\\\\xff"},
                                                         {"s\xc3\xa9", "s\xc3\xa9"},
                                                         {"s\xed\xa0\x80", "s\\xed\\xa0\\x80"},
                                                         {"s\xc0\xaf", "s\\xc0\\xaf"},
                                                         {"s\xe2\x82", "s\\xe2\\x82"}};
    for (const auto& name : names) {
        CZyError err;
        std::unique_ptr<TqBlkRecallStore> store(
            TqBlkRecallStore::create((tmp / name.first).c_str(), "u", 1 << 20, 4096, &err));
        ASSERT_TRUE(store) << err.GetDescription();
        for (const char* command : {"bitmap --json '", "check-store --json '"}) {
            ToolRun out = ctl(command + (tmp / name.first) + "'");
            nlohmann::json j = nlohmann::json::parse(out.out, nullptr, false);
            ASSERT_FALSE(j.is_discarded()) << command << name.second << out.out;
            EXPECT_EQ(j["store"], tmp / name.second) << command;
        }
    }

    struct Bitmap {
        long long extents;
        std::vector<long long> present;
        const char* runs;
        const char* chunks;
    };
    const Bitmap bitmaps[] = {{40000, {3, 4, 32773}, "[[3,4],[32773,32773]]", "[[0,2],[1,1]]"},
                              {70000,
                               {32766, 32767, 32768, 32769, 65536},
                               "[[32766,32769],[65536,65536]]",
                               "[[0,2],[1,2],[2,1]]"},
                              {1LL << 34,
                               {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, (1LL << 34) - 1},
                               "[[0,10],[17179869183,17179869183]]",
                               "[[0,11],[524287,1]]"},
                              {1LL << 34, {}, "[]", "[]"}};
    for (const Bitmap& b : bitmaps) {
        const std::string dir = tmp / ("b" + std::to_string(&b - bitmaps));
        CZyError err;
        std::unique_ptr<TqBlkRecallStore> store(
            TqBlkRecallStore::create(dir.c_str(), "u", b.extents * 2, 2, &err));
        ASSERT_TRUE(store) << err.GetDescription();
        for (long long extent : b.present)
            ASSERT_OK(store->createExtentWithNUL(extent));
            // Its memory grows with the extents present: 2^34 extents fit in 256 MiB.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        ToolRun out = ctl("bitmap --json " + dir);
#else
        ToolRun out = run("prlimit --as=268435456 " TQBLK_CTL_PATH, "bitmap --json " + dir, tmp);
#endif
        ASSERT_EQ(out.status, 0) << out.err;
        EXPECT_LT(out.out.size(), 400u);
        nlohmann::json j = nlohmann::json::parse(out.out), chunks = nlohmann::json::array();
        for (const nlohmann::json& chunk : j["chunks"])
            chunks.push_back({chunk["chunk"], chunk["present"]});
        EXPECT_EQ(j["present"].dump(), b.runs) << dir;
        EXPECT_EQ(chunks.dump(), b.chunks) << dir;
        EXPECT_EQ(j["extents_present"], b.present.size());
    }
}

// A stats file that is not a regular file is refused instead of blocking the tool.
TEST_F(ToolsCli, StatusReadsOnlyARegularStatsFile) {
    ASSERT_EQ(::mkfifo((tmp / "fifo").c_str(), 0600), 0);
    WriteFile(tmp / "big", std::string(2 << 20, ' '));
    WriteFile(tmp / "text", "not json");
    WriteFile(tmp / "types", "{\"pid\": \"one\"}");
    const std::pair<std::string, std::string> stats[] = {
        {tmp / "fifo", "refused " + (tmp / "fifo") + ": not a regular file"},
        {tmp.path(), "refused " + tmp.path() + ": not a regular file"},
        {"/dev/zero", "refused /dev/zero: not a regular file"},
        {tmp / "none", "Couldn't read " + (tmp / "none") + ": No such file or directory"},
        {tmp / "big", "refused " + (tmp / "big") + ": larger than 1048576 bytes"},
        {tmp / "text", (tmp / "text") + " is not a stats file of tqblk-recalld"},
        {tmp / "types", (tmp / "types") + " is not a stats file of tqblk-recalld"}};
    for (const auto& file : stats) {
        ToolRun out = run("timeout 20 " TQBLK_CTL_PATH, "status dev --stats " + file.first, tmp);
        EXPECT_EQ(out.status, 1) << file.first;
        EXPECT_EQ(out.err, "tqblk-ctl: status: " + file.second + "\n");
    }
}

// A full disk or a tight memory limit ends a tool with a message, never an abort.
TEST_F(ToolsCli, TightMemoryOrAFullDiskEndWithAMessage) {
    ASSERT_EQ(ctl("create-store recall " + (tmp / "b1") + " u 1G 64K").status, 0);
    ToolRun full = ctl("bitmap --json " + (tmp / "b1") + " >/dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "tqblk-ctl: Couldn't write the output: No space left on device\n");
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // From the least limit the loader starts the program under, up in small steps: the
    // shared libraries, static constructors, command line and command stop fitting in turn.
    const std::pair<const char*, std::string> commands[] = {
        {TQBLK_CTL_PATH, "--version"},
        {TQBLK_CTL_PATH, "bitmap --json " + (tmp / "b1")},
        {TQBLK_CTL_PATH, "check-store " + (tmp / "b1")},
        {TQBLK_RECALLD_PATH, "--version"}};
    for (const auto& command : commands) {
        const std::string path = command.first, name = path.substr(path.rfind('/') + 1);
        auto under = [&](int kib) {
            return run("ulimit -v " + std::to_string(kib) + "; exec " + path, command.second, tmp);
        };
        // The dynamic loader's own failures (a library or TLS that does not fit) exit 127.
        auto loaderRefused = [](const ToolRun& out) { return out.status == 127; };
        int started = 4000;
        while (started < 65536 && loaderRefused(under(started)))
            started += 500;
        for (int kib = started - 500; kib < started + 1500; kib += 40) {
            ToolRun out = under(kib);
            // No abort (-1): success, or a failure status with a line of the tool's.
            ASSERT_TRUE(loaderRefused(out) || out.status == 0 ||
                        (out.status > 0 && contains("\n" + out.err, "\n" + name + ": ")))
                << command.second << " under " << kib << " KiB: " << out.status << " " << out.err;
        }
        EXPECT_LT(started, 65536) << name;
    }
#endif
}

}  // namespace
