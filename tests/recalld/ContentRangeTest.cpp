// The judge of HTTP answers: a 206's Content-Range (an unknown total "/*" is a match, not a
// changed object), and what each status, version and body length means for a request.
#include "HttpJudge.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using tqtools::HttpAsk;
using tqtools::HttpSeen;
using tqtools::RangeVerdict;

TEST(ContentRange, JudgesEachForm) {
    const struct {
        const char* header;
        RangeVerdict verdict;
    } cases[] = {
        {"bytes 65536-131071/1048576", RangeVerdict::Matches},
        {"bytes 65536-131071/*", RangeVerdict::Matches},
        {"bytes 65536-131071/2097152", RangeVerdict::OtherSize},
        {"bytes 0-65535/1048576", RangeVerdict::Wrong},
        {"bytes 65536-131071", RangeVerdict::Wrong},
        {"", RangeVerdict::Wrong},
    };
    for (const auto& c : cases)
        EXPECT_EQ(tqtools::judgeContentRange(c.header, 65536, 131071, 1048576), c.verdict)
            << c.header;
}

TEST(ContentRange, JudgesEachResponse) {
    using K = HttpAsk::Kind;
    const struct {
        K kind;
        bool pinned;
        long status;
        const char* range;  // Content-Range
        const char* etag;
        long long length;    // Content-Length
        long long received;  // body bytes
        const char* body;    // a failure's body
        int error;
        bool transient;
        const char* detail;  // what the message starts with
    } cases[] = {
        {K::Range, true, 206, "bytes 100-199/1000", "\"v1\"", 100, 100, "", 0, false, ""},
        {K::Range, true, 206, "bytes 100-199/*", "\"v1\"", 100, 100, "", 0, false, ""},
        {K::Range, true, 206, "bytes 100-199/1000", "\"v2\"", 100, 100, "", ESTALE, false,
         "s3://b/k bytes 100-199 came back as version \"v2\", not \"v1\""},
        {K::Range, true, 206, "bytes 100-199/2000", "\"v1\"", 100, 100, "", ESTALE, false,
         "s3://b/k bytes 100-199 came back from an object of another size"},
        {K::Range, true, 206, "bytes 0-99/1000", "\"v1\"", 100, 100, "", EIO, true,
         "Couldn't read s3://b/k bytes 100-199: the server sent Content-Range"},
        {K::Range, true, 206, "bytes 100-199/1000", "\"v1\"", 100, 60, "", EIO, true,
         "Couldn't read s3://b/k bytes 100-199: 60 bytes came, not 100"},
        {K::Range, true, 200, "", "\"v1\"", 1000, 0, "", EIO, false,
         "Couldn't read s3://b/k bytes 100-199: HTTP 200 instead of 206"},
        {K::Range, true, 412, "", "", -1, 0, "", ESTALE, false,
         "s3://b/k bytes 100-199 is no longer version \"v1\" (HTTP 412)"},
        {K::Status, false, 412, "", "", -1, 0, "", EIO, false, "Couldn't read s3://b/k: HTTP 412"},
        {K::Status, true, 403, "", "", -1, 0, "<Code>AccessDenied</Code>", EACCES, false,
         "Access to s3://b/k was refused (HTTP 403 AccessDenied)"},
        {K::Range, true, 404, "", "", -1, 0, "", ENOENT, false,
         "No such object: s3://b/k (HTTP 404)"},
        {K::Status, false, 503, "", "", -1, 0, "", EIO, true, "Couldn't read s3://b/k: HTTP 503"},
        {K::Status, false, 400, "", "", -1, 0, "<Code>RequestTimeout</Code>", EIO, true,
         "Couldn't read s3://b/k: HTTP 400 RequestTimeout"},
        {K::Status, false, 200, "", "", -1, 0, "", 0, false, ""},
        {K::Whole, false, 200, "", "", 1000, 1000, "", 0, false, ""},
        {K::Whole, false, 200, "", "", 1000, 999, "", EIO, true,
         "Couldn't read s3://b/k: 999 bytes came, not 1000"},
    };
    for (const auto& c : cases) {
        const HttpAsk ask{c.kind, "s3://b/k", "read", c.pinned, "\"v1\"", true, 1000, 100, 100};
        const HttpSeen seen{c.status, c.range, c.etag, "", c.length, c.body, c.received, false};
        const tqtools::Outcome o = tqtools::judgeResponse(ask, seen);
        EXPECT_EQ(o.error, c.error) << c.detail;
        EXPECT_EQ(o.transient, c.transient) << c.detail;
        EXPECT_EQ(o.detail.rfind(c.detail, 0), 0u) << o.detail;
    }
}

}  // namespace
