// Uses the installed library as a client would: creates, opens, clears and removes stores
// and checks the outcome of each step, failures included. Prints "N passed, N failed".
#include <tqblk/TqBlkBackingStore.h>
#include <tqblk/unix/TqBlkDriverUnix.h>
#include <tqblk/version.h>
#include <zyutils/ZyError.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

static int passed = 0, failed = 0;

static void expect(bool ok, const std::string& what) {
    ok ? ++passed : ++failed;
    if (!ok)
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
}

static void expectError(const CZyError& err, int errnoValue, const std::string& innermost,
                        const std::string& what) {
    bool ok = err.IsError() && err.GetErrNo() == errnoValue && !err.GetMessages().empty() &&
              err.GetMessages().front() == innermost;
    expect(ok, what + ": got " + err.GetDescription());
}

int main() {
    char base[] = "/tmp/tqblk-consumer-XXXXXX";
    if (!mkdtemp(base))
        return 2;
    const std::string dir = std::string(base) + "/store";

    CZyError err;
    std::unique_ptr<TqBlkPrivateStore> store(
        TqBlkPrivateStore::create(dir.c_str(), "consumer", 96, 32, &err));
    expect(store && !err.IsError(), "create a private store");

    std::unique_ptr<TqBlkRecallStore> opened(TqBlkRecallStore::open(dir.c_str(), &err));
    expect(opened && opened->getDeviceSize() == 96 && opened->getExtentSize() == 32,
           "open it as a recall store");
    expect(opened && !opened->clear().IsError(), "clear it");

    TqBlkPrivateStore bad;
    expectError(bad.createStore(dir.c_str(), "u", 8, 3), EINVAL,
                "Extent size 3 must've been a power of 2", "refuse extent size 3");
    std::unique_ptr<TqBlkPrivateStore> missing(
        TqBlkPrivateStore::open((std::string(base) + "/none").c_str(), &err));
    expectError(err, ENOENT, "Couldn't stat backing store directory " + std::string(base) + "/none",
                "open a missing store");
    expect(!missing, "no object for a failed open");

    expect(!TqBlkBackingStore::remove(dir.c_str()).IsError(), "remove the store");
    expectError(TqBlkBackingStore::remove(dir.c_str()), ENOENT,
                "Couldn't stat backing store directory " + dir, "remove it twice");
    ::rmdir(base);

    // Driver arguments are checked before the admin node is opened.
    TqBlkDriverUnix driver;
    std::string name = "untouched";
    expectError(driver.createDevice("", nullptr, nullptr, &name), EINVAL,
                "NULL device UUID passed as input", "refuse an empty device UUID");
    expectError(driver.monitorDevice(std::string(64, 'u').c_str()), EINVAL,
                "UUID \"" + std::string(64, 'u') + "\" is too long", "refuse a long UUID");
    expect(name == "untouched", "no output on failure");

    // The library found at run time is the one whose headers this program was built with.
    expect(std::strcmp(tqblk_version_string(), TQBLK_VERSION_STRING) == 0 &&
               tqblk_version_number() == TQBLK_VERSION_NUMBER,
           std::string("run-time version ") + tqblk_version_string() + " is the headers' " +
               TQBLK_VERSION_STRING);

    std::printf("consumer: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
