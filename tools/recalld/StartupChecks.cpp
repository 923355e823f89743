#include "StartupChecks.h"

#include "ErrorText.h"

#include <tqsys/Retry.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <memory>

namespace recalld {
namespace {

std::string geometry(const TqBlkBackingStore& store) {
    return "device size " + std::to_string(store.getDeviceSize()) + " bytes, extent size " +
           std::to_string(store.getExtentSize());
}

// Extents of the device from the first byte past `size` to the end.
long long extentsPast(const TqBlkBackingStore& recall, long long size) {
    long long extent = recall.getExtentSize();
    long long first = size / extent;
    return (recall.getDeviceSize() + extent - 1) / extent - first;
}

std::string checkImage(const Options& options, const TqBlkBackingStore& recall,
                       std::vector<std::string>* notes) {
    long long size = sourceSize(options.image);
    if (size < 0)
        return "Couldn't read the size of the image " + options.image + ": " +
               tqtools::errnoText(static_cast<int>(-size));
    const long long device = recall.getDeviceSize();
    if (size < device) {
        std::string what = "the image " + options.image + " holds " + std::to_string(size) +
                           " bytes, less than the device's " + std::to_string(device) +
                           " (recall store " + recall.getDir() + ": " + geometry(recall) + "); " +
                           std::to_string(extentsPast(recall, size)) +
                           " extents would read partly or wholly as zeros";
        if (!options.allowShortSource)
            return what + ". Not starting; --allow-short-source serves them as zeros";
        notes->push_back(what + " (--allow-short-source)");
    } else if (size > device) {
        notes->push_back("the image " + options.image + " is " + std::to_string(size - device) +
                         " bytes longer than the device (" + std::to_string(device) +
                         " bytes); only its first " + std::to_string(device) + " are served");
    }
    return "";
}

std::string checkStore(const Options& options, const TqBlkBackingStore& recall,
                       std::vector<std::string>* notes) {
    CZyError err;
    std::unique_ptr<TqBlkRecallStore> source(
        TqBlkRecallStore::open(options.sourceStore.c_str(), &err));
    if (!source)
        return tqtools::oneLine("Couldn't open the source store " + options.sourceStore, err);
    struct stat a, b;
    if (::stat(options.sourceStore.c_str(), &a) == 0 && ::stat(recall.getDir().c_str(), &b) == 0 &&
        a.st_dev == b.st_dev && a.st_ino == b.st_ino)
        return "the source store " + options.sourceStore + " is the recall store itself";
    const long long sourceDevice = source->getDeviceSize();
    const long long device = recall.getDeviceSize();
    const std::string both = " (source store: " + geometry(*source) + "; recall store " +
                             recall.getDir() + ": " + geometry(recall) + ")";
    if (sourceDevice > device)
        return "the source store " + options.sourceStore +
               " is of a larger device than the "
               "recall store" +
               both + ". Not starting";
    if (sourceDevice < device) {
        std::string what = "the source store " + options.sourceStore + " is of a smaller device" +
                           both + "; " + std::to_string(extentsPast(recall, sourceDevice)) +
                           " extents would read partly or wholly as zeros";
        if (!options.allowShortSource)
            return what + ". Not starting; --allow-short-source serves them as zeros";
        notes->push_back(what + " (--allow-short-source)");
    }
    if (source->getExtentSize() != recall.getExtentSize())
        notes->push_back(
            "the stores' extent sizes differ (" + std::to_string(source->getExtentSize()) +
            " and " + std::to_string(recall.getExtentSize()) + "): extents are copied, not linked");
    return "";
}

}  // namespace

long long sourceSize(const std::string& path) {
    tqsys::UniqueFd fd = tqsys::OpenRetrying(path.c_str(), O_RDONLY);
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0)
        return -errno;
    if (S_ISREG(st.st_mode))
        return st.st_size;
    if (!S_ISBLK(st.st_mode))
        return -EINVAL;
    unsigned long long bytes = 0;
    if (::ioctl(fd.get(), BLKGETSIZE64, &bytes) != 0)
        return -errno;
    return static_cast<long long>(bytes);
}

std::string checkSource(const Options& options, const TqBlkBackingStore& recall,
                        std::vector<std::string>* notes) {
    if (recall.getExtentSize() <= 0)
        return "the recall store " + recall.getDir() + " has no valid extent size";
    return options.image.empty() ? checkStore(options, recall, notes)
                                 : checkImage(options, recall, notes);
}

}  // namespace recalld
