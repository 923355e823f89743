// Writes the input as a store's config file and opens the store. An accepted file must give
// sane metrics, and writing the config again must read back the same values.
#include <tqblk/TqBlkBackingStore.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

// One store directory for the whole run, on a tmpfs where one is at hand: the store
// rewrites its config file with fsync. Plain storage, so the exit handler can still use it.
char g_dir[64];
char g_config[80];

void removeStoreDir() {
    ::unlink(g_config);
    ::rmdir(g_dir);
}

std::string storeDir() {
    if (!g_dir[0]) {
        const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::snprintf(g_dir, sizeof g_dir, "%s/tqblk-fuzz-config-XXXXXX", base);
        if (!::mkdtemp(g_dir))
            std::abort();
        std::snprintf(g_config, sizeof g_config, "%s/config", g_dir);
        std::atexit(removeStoreDir);
    }
    return g_dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string dir = storeDir();
    FILE* file = std::fopen(g_config, "wb");
    if (!file)
        std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size)
        std::abort();
    std::fclose(file);

    TqBlkPrivateStore store;
    CZyError err = store.openStore(dir.c_str());
    if (err.IsError()) {
        // EFBIG: the reader refuses configs larger than its bound without reading them.
        const bool tooLarge = err.GetErrNo() == EFBIG && size > 65536;
        if ((err.GetErrNo() != EINVAL && !tooLarge) || err.GetMessages().size() != 2)
            std::abort();
        return 0;
    }
    if (store.m_uuid.empty() || store.m_deviceSize < 1 || store.m_extentSize < 2 ||
        (store.m_extentSize & (store.m_extentSize - 1)) != 0 ||
        store.m_extentCount != (store.m_deviceSize - 1) / store.m_extentSize + 1)
        std::abort();
    if (store.saveConfig().IsError())
        std::abort();
    TqBlkPrivateStore again;
    if (again.openStore(dir.c_str()).IsError())
        std::abort();
    if (again.m_uuid != store.m_uuid || again.m_deviceSize != store.m_deviceSize ||
        again.m_extentSize != store.m_extentSize)
        std::abort();
    return 0;
}
