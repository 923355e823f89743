#ifndef TQBLK_TOOLS_IMAGE_OBJECTS_H
#define TQBLK_TOOLS_IMAGE_OBJECTS_H

// Where published images live: a local directory or an object store. Keys are relative to
// the image root ("manifests/NAME", "chunks/ab/abcd..."). Every implementation may be used
// by several threads at once.

#include "RemoteAccess.h"

#include <memory>
#include <string>
#include <vector>

namespace tqimage {

// How remote roots (s3://BUCKET/PREFIX, http(s)://HOST/PATH) are reached. retrySeconds
// bounds when a new attempt may start, pauses included: an attempt that has started runs as
// long as it keeps to minRate, whatever the object's size.
using ObjectOptions = tqtools::RemoteAccess;

struct ObjectInfo {
    std::string key;
    long long size = 0;
};

class Objects {
  public:
    virtual ~Objects() = default;
    // Reads the whole object. Returns 0, or ENOENT (no such object), EACCES (refused), EIO
    // (anything else, after retries), ECANCELED (interrupted), with *detail.
    virtual int get(const std::string& key, std::string* body, std::string* detail) = 0;
    // The object's size; 0, or an errno as for get().
    virtual int head(const std::string& key, long long* size, std::string* detail) = 0;
    // Writes the object so that a reader sees all of it or nothing, durable when put()
    // returns. Returns 0 or an errno with *detail. Roots reached over http(s) are read-only
    // (EROFS).
    virtual int put(const std::string& key, const std::string& body, std::string* detail) = 0;
    // Every object whose key starts with prefix, in no set order.
    virtual int list(const std::string& prefix, std::vector<ObjectInfo>* out,
                     std::string* detail) = 0;
    // Where key is, as messages show it (credentials never shown).
    virtual std::string describe(const std::string& key) const = 0;
    // Bytes of object bodies read so far.
    virtual long long bytesRead() const = 0;
    // Ends the transfers in progress and to come: they return ECANCELED.
    virtual void interrupt() {}
};

// Opens an image root: "s3://BUCKET/PREFIX", "http(s)://...", "file:///DIR" or a
// directory path. A local directory is made (with its parents) by the first put(). Null with
// *detail when root cannot name one.
std::unique_ptr<Objects> openObjects(const std::string& root, const ObjectOptions& options,
                                     std::string* detail);

// The local directory root; used by openObjects.
std::unique_ptr<Objects> openLocalObjects(const std::string& dir);
// The s3:// and http(s):// roots; used by openObjects. Null with *detail when the
// credentials named cannot be read.
std::unique_ptr<Objects> openRemoteObjects(const std::string& url, const ObjectOptions& options,
                                           std::string* detail);

}  // namespace tqimage

#endif
