// check-store: a store checked like fsck, in text or JSON.

#include "Commands.h"

#include <cstdio>

namespace ctl {

namespace {

constexpr int kCheckFailed = 8;

void printCheckText(const CheckStoreArgs& args, const TqBlkStoreCheckReport& report) {
    for (const TqBlkStoreFinding& f : report.findings)
        std::printf("%s %s: %s%s\n", tqblk_store_finding_name(f.kind), printable(f.path).c_str(),
                    printable(f.detail).c_str(), f.repaired ? " (repaired)" : "");
    if (report.findingsDropped > 0)
        std::printf("... and %lld more findings\n", report.findingsDropped);
    const std::string dir = printable(args.dir);
    if (report.lockedByOther)
        std::printf("%s: in use by another process%s\n", dir.c_str(),
                    args.options.repair || args.options.pruneDamagedExtents
                        ? ", nothing was removed"
                        : ", temporary files may be in use");
    std::printf("%s: %lld extents present of %lld, %lld problems, %lld repaired\n", dir.c_str(),
                report.extentsPresent, report.extentCount, report.problems, report.repaired);
}

nlohmann::json checkJson(const CheckStoreArgs& args, const TqBlkStoreCheckReport& report) {
    nlohmann::json findings = nlohmann::json::array();
    for (const TqBlkStoreFinding& f : report.findings)
        findings.push_back({{"kind", tqblk_store_finding_name(f.kind)},
                            {"path", f.path},
                            {"detail", f.detail},
                            {"problem", f.isProblem()},
                            {"repaired", f.repaired}});
    return {{"store", args.dir},
            {"extent_count", report.extentCount},
            {"extents_present", report.extentsPresent},
            {"problems", report.problems},
            {"repaired", report.repaired},
            {"findings_dropped", report.findingsDropped},
            {"locked_by_other", report.lockedByOther},
            {"exit_code", report.exitCode()},
            {"findings", findings}};
}

}  // namespace

int checkStore(const CheckStoreArgs& args) {
    TqBlkStoreCheckOptions options = args.options;
    options.storeKind = args.storeKind == "private"  ? TQBLK_CHECK_STORE_PRIVATE
                        : args.storeKind == "recall" ? TQBLK_CHECK_STORE_RECALL
                                                     : TQBLK_CHECK_STORE_UNKNOWN;
    TqBlkStoreCheckReport found;
    CZyError err = tqblk_check_store(args.dir.c_str(), options, &found);
    if (err.IsError()) {
        if (args.json)
            printJson({{"store", args.dir},
                       {"error", {{"errno", err.GetErrNo()}, {"messages", err.GetMessages()}}},
                       {"exit_code", kCheckFailed}});
        else
            report(err, "check-store");
        return kCheckFailed;
    }
    if (args.json)
        printJson(checkJson(args, found));
    else
        printCheckText(args, found);
    return found.exitCode();
}

}  // namespace ctl
