// Image roots in an object store (s3://) or on a web server (http(s)://).

#include "Objects.h"

namespace tqimage {

std::unique_ptr<Objects> openRemoteObjects(const std::string& url, const ObjectOptions& options,
                                           std::string* detail) {
    (void)options;
    *detail = "remote image roots are not supported yet: " + url;
    return nullptr;
}

}  // namespace tqimage
