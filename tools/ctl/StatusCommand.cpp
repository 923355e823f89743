// status: the device as the driver reports it, its stores and its recall service.

#include "Commands.h"
#include "ErrorText.h"
#include "ToolDriver.h"
#include "UserFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace ctl {

namespace {

nlohmann::json storeStatus(const std::string& role, const std::string& dir, CZyError* err) {
    std::unique_ptr<TqBlkRecallStore> store;
    Presence p;
    *err = presenceOf(dir, &store, &p);
    if (err->IsError())
        return nullptr;
    return {{"role", role},
            {"dir", dir},
            {"uuid", store->m_uuid},
            {"device_size", store->getDeviceSize()},
            {"extent_size", store->getExtentSize()},
            {"extent_count", p.total},
            {"extents_present", p.present}};
}

// Whether the counters the text output shows are whole numbers where present.
bool countersAreNumbers(const nlohmann::json& stats) {
    for (const char* key : {"pid", "demand_recalls", "in_flight", "done", "failed", "bytes",
                            "extents_present", "extent_count"})
        if (stats.contains(key) && !stats[key].is_number_integer())
            return false;
    if (!stats.contains("failed_by_errno"))
        return true;
    const nlohmann::json& byErrno = stats["failed_by_errno"];
    return byErrno.is_object() &&
           std::all_of(byErrno.begin(), byErrno.end(),
                       [](const nlohmann::json& n) { return n.is_number_integer(); });
}

// The recall service's counters as it last wrote them, with the file's age in seconds. The
// file is read only when it is a regular file: a FIFO named by mistake would block.
bool readStats(const std::string& path, nlohmann::json* stats, std::string* error) {
    const size_t kLargest = 1 << 20;  // far above what tqblk-recalld writes
    std::string text;
    struct stat st;
    const int e = tqtools::readUserFile(path, kLargest, &text, &st);
    if (e != 0) {
        *error = e == EINVAL ? "refused " + path + ": not a regular file"
                 : e == EFBIG
                     ? "refused " + path + ": larger than " + std::to_string(kLargest) + " bytes"
                     : "Couldn't read " + path + ": " + tqtools::errnoText(e);
        return false;
    }
    *stats = nlohmann::json::parse(text, nullptr, false);
    if (stats->is_discarded() || !stats->is_object() || !countersAreNumbers(*stats)) {
        *error = path + " is not a stats file of tqblk-recalld";
        return false;
    }
    (*stats)["age_seconds"] = static_cast<long long>(std::time(nullptr) - st.st_mtime);
    return true;
}

std::string percent(long long part, long long whole) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", whole > 0 ? 100.0 * part / whole : 0.0);
    return text;
}

void printStatusText(const nlohmann::json& s) {
    std::printf("device %s: %s\n", s["device"].get<std::string>().c_str(),
                s["ready"].get<bool>() ? "ready" : "not ready");
    std::printf("  config word: %d\n", s["config"].get<int>());
    // The first few; --json has them all.
    std::string mru;
    const size_t kShown = 16;
    for (size_t i = 0; i < s["mru_extents"].size() && i < kShown; ++i)
        mru += " " + std::to_string(s["mru_extents"][i].get<long long>());
    if (s["mru_extents"].size() > kShown)
        mru += " ... (" + std::to_string(s["mru_extents"].size()) + " in all)";
    std::printf("  MRU extents:%s\n", mru.empty() ? " none" : mru.c_str());
    for (const auto& store : s["stores"]) {
        long long present = store["extents_present"], total = store["extent_count"];
        std::printf("  %s store %s: %lld of %lld extents present (%s), extent size %lld\n",
                    store["role"].get<std::string>().c_str(),
                    printable(store["dir"].get<std::string>()).c_str(), present, total,
                    percent(present, total).c_str(), store["extent_size"].get<long long>());
    }
    if (!s.contains("service"))
        return;
    const nlohmann::json& v = s["service"];
    long long age = v.value("age_seconds", 0LL);
    std::printf("  recall service (pid %lld, stats %lld s old%s):\n", v.value("pid", 0LL), age,
                age > 5 ? ": is it still running?" : "");
    std::printf("    demand recalls %lld, in flight %lld, done %lld, failed %lld, %lld bytes\n",
                v.value("demand_recalls", 0LL), v.value("in_flight", 0LL), v.value("done", 0LL),
                v.value("failed", 0LL), v.value("bytes", 0LL));
    long long present = v.value("extents_present", 0LL), total = v.value("extent_count", 0LL);
    std::printf("    %lld of %lld extents present (%s)\n", present, total,
                percent(present, total).c_str());
    // A bounded recall store: its limit and what keeping it costs.
    if (v.value("store_limit", 0LL) > 0)
        std::printf(
            "    store %lld of %lld bytes (%s), %lld evictions (%lld bytes), "
            "%lld re-recalls of evicted extents, hit ratio seen %.3f\n",
            v.value("store_used_bytes", 0LL), v.value("store_limit", 0LL),
            percent(v.value("store_used_bytes", 0LL), v.value("store_limit", 0LL)).c_str(),
            v.value("evictions", 0LL), v.value("evicted_bytes", 0LL), v.value("remisses", 0LL),
            v.value("hit_ratio", 0.0));
    if (v.contains("failed_by_errno"))
        for (auto it = v["failed_by_errno"].begin(); it != v["failed_by_errno"].end(); ++it)
            std::printf("    failed with %s: %lld\n", printable(it.key()).c_str(),
                        it.value().get<long long>());
}

}  // namespace

int status(const StatusArgs& a) {
    nlohmann::json s = {{"device", a.uuid}};
    // The file the user named first: a mistake there is reported before asking the driver.
    if (!a.statsFile.empty()) {
        std::string error;
        if (!readStats(a.statsFile, &s["service"], &error)) {
            std::fprintf(stderr, "tqblk-ctl: status: %s\n", printable(error).c_str());
            return kExitFailed;
        }
    }
    tqtools::ToolDriver driver(g.adminNode);
    s["admin_node"] = driver.path();
    bool ready = false;
    int config = 0;
    std::vector<long long> mru;
    CZyError err = driver.checkDevice(a.uuid.c_str(), &ready);
    if (!err.IsError())
        err = driver.getConfig(&config);
    if (!err.IsError())
        err = mruOf(driver, a.uuid, kMruRoom, &mru);
    if (report(err, "status", true))
        return kExitFailed;
    s["ready"] = ready;
    s["config"] = config;
    s["mru_extents"] = mru;
    s["stores"] = nlohmann::json::array();
    const std::pair<const char*, std::string> stores[] = {{"private", a.privateDir},
                                                          {"recall", a.recallDir}};
    for (const auto& store : stores) {
        if (store.second.empty())
            continue;
        s["stores"].push_back(storeStatus(store.first, store.second, &err));
        if (report(err, std::string("status: the ") + store.first + " store"))
            return kExitFailed;
    }
    if (a.json)
        printJson(s);
    else
        printStatusText(s);
    return kExitDone;
}

}  // namespace ctl
