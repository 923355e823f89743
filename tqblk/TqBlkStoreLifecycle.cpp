// The store object's lifecycle: set-up, clearing, removal and the factories.

#include "StoreInternal.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

using tqblk::store::extentCountOf;
using tqblk::store::isPow2;
using tqblk::store::uuidSurvivesConfig;

namespace {

const char kConfigName[] = "config";

template <class Store, class Setup>
Store* makeStore(CZyError* err, Setup setup) {
    Store* store = new Store();
    *err = setup(store);
    if (err->IsError()) {
        delete store;
        return nullptr;
    }
    return store;
}

}  // namespace

TqBlkBackingStore::TqBlkBackingStore(TQBLK_STORE_TYPE type)
    : m_type(type), m_deviceSize(0), m_extentSize(0), m_extentCount(0), m_extentNameLen(0) {}

TqBlkBackingStore::~TqBlkBackingStore() = default;

CZyError TqBlkBackingStore::createStore(const char* dir, const char* uuid, long long deviceSize,
                                        int extentSize) {
    if (!dir || !*dir)
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, EINVAL,
                                       "NULL or empty directory passed as input");
    if (!uuid || !*uuid)
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, EINVAL, "NULL or empty UUID passed as input");
    if (!uuidSurvivesConfig(uuid))
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, EINVAL, "Invalid UUID \"%s\" passed as input",
                                       uuid);
    if (deviceSize < 1)
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, EINVAL,
                                       "Invalid device size %lld passed as input", deviceSize);
    if (extentSize <= 0)
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, EINVAL,
                                       "Invalid extent size %d passed as input", extentSize);
    if (!isPow2(extentSize))
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, EINVAL,
                                       "Extent size %d must've been a power of 2", extentSize);
    m_dir = dir;
    m_uuid = uuid;
    m_deviceSize = deviceSize;
    m_extentSize = extentSize;
    m_extentCount = extentCountOf(deviceSize, extentSize);

    CZyError err = mkdir(m_dir);
    if (err.IsError())
        return err.Push(TQ_STORE_HERE, "Couldn't create backing store's directory %s", dir);
    err = rmUnder(m_dir);
    if (err.IsError())
        return err.Push(TQ_STORE_HERE, "Couldn't clean backing store's directory %s", dir);
    err = saveConfig();
    if (err.IsError())
        return err.Push(TQ_STORE_HERE, "Couldn't save backing store's config file");
    return CZyError::Success();
}

CZyError TqBlkBackingStore::openStore(const char* dir) {
    if (!dir || !*dir)
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, EINVAL,
                                       "NULL or empty directory passed as input");
    struct stat st;
    if (::stat(dir, &st) != 0)
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, errno,
                                       "Couldn't stat backing store directory %s", dir);
    if (!S_ISDIR(st.st_mode))
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, ENOTDIR, "%s is not a directory", dir);
    m_dir = dir;
    CZyError err = readConfig();
    if (err.IsError())
        return err.Push(TQ_STORE_HERE, "Couldn't open backing store in %s", dir);
    return CZyError::Success();
}

CZyError TqBlkBackingStore::clear() {
    // The config stays throughout, so a clear that fails half-way leaves a store.
    CZyError err = rmUnder(m_dir, kConfigName, false);
    if (!err.IsError())
        err = saveConfig();
    if (err.IsError())
        return err.Push(TQ_STORE_HERE, "Couldn't clear backing store %s", m_uuid.c_str());
    return CZyError::Success();
}

CZyError TqBlkBackingStore::remove(const char* dir) {
    // A link would be followed to its target's store, which would be emptied, and then
    // fail to be removed as a directory; "LINK/" would be followed too.
    std::string top = dir ? dir : "";
    while (top.size() > 1 && top.back() == '/')
        top.pop_back();
    struct stat st;
    if (dir && ::lstat(top.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        return JQErrorUtil::ErrorErrNo(
            TQ_STORE_HERE, ELOOP,
            "%s is a symbolic link: a backing store is removed by its own directory's path", dir);
    CZyError err;
    {
        TqBlkBackingStore probe(TQBLK_STORE_PRIVATE);
        err = probe.openStore(dir);
    }
    if (err.IsError())
        return err.Push(TQ_STORE_HERE, "%s is not a backing store directory", dir ? dir : "(null)");
    // The config goes last: until then, what is left is still a store.
    err = rmUnder(dir, kConfigName, true);
    if (err.IsError())
        return err.Push(TQ_STORE_HERE);
    const std::string config = std::string(dir) + "/" + kConfigName;
    if (::unlink(config.c_str()) != 0 && errno != ENOENT)
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, errno, "Couldn't remove %s", config.c_str());
    if (::rmdir(dir) != 0)
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, errno,
                                       "Couldn't remove backing store directory %s", dir);
    return CZyError::Success();
}

TqBlkPrivateStore* TqBlkPrivateStore::create(const char* dir, const char* uuid,
                                             long long deviceSize, int extentSize, CZyError* err) {
    return makeStore<TqBlkPrivateStore>(err, [&](TqBlkBackingStore* s) {
        return s->createStore(dir, uuid, deviceSize, extentSize);
    });
}

TqBlkPrivateStore* TqBlkPrivateStore::open(const char* dir, CZyError* err) {
    return makeStore<TqBlkPrivateStore>(err,
                                        [&](TqBlkBackingStore* s) { return s->openStore(dir); });
}

TqBlkRecallStore* TqBlkRecallStore::create(const char* dir, const char* uuid, long long deviceSize,
                                           int extentSize, CZyError* err) {
    return makeStore<TqBlkRecallStore>(err, [&](TqBlkBackingStore* s) {
        return s->createStore(dir, uuid, deviceSize, extentSize);
    });
}

TqBlkRecallStore* TqBlkRecallStore::open(const char* dir, CZyError* err) {
    return makeStore<TqBlkRecallStore>(err,
                                       [&](TqBlkBackingStore* s) { return s->openStore(dir); });
}
