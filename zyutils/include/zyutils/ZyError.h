#ifndef ZYUTILS_ZYERROR_H
#define ZYUTILS_ZYERROR_H

#include <zyutils/ZyExport.h>

#include <boost/shared_ptr.hpp>
#include <string>
#include <vector>

// A place in the source that builds or passes on an error. Holds pointers to static text
// only and owns nothing.
struct JQCodeLocation {
    const char* m_file;
    const char* m_function;
    int m_line;
};

#if defined(__FILE_NAME__)
#define JQ_SOURCE_FILE __FILE_NAME__
#else
#define JQ_SOURCE_FILE __FILE__
#endif

// The code location of the site where it is written.
#define JQ_HERE (JQCodeLocation{JQ_SOURCE_FILE, __PRETTY_FUNCTION__, __LINE__})

class JQErrorPrivate;

// The outcome of an operation, passed by value. A success has code 0 and no record, so
// making and copying one allocates nothing. An error has a negative code and a record that
// all copies share: the errno it was built with, then one entry per code location that
// built or passed it on, innermost first, each with an optional message.
class ZY_EXPORT CZyError {
  public:
    CZyError() : m_code(0) {}

    static CZyError Success() { return CZyError(); }
    bool IsError() const { return m_code < 0; }

    // Adds the caller's location, and a printf-style message if one is given, to an error
    // that is passed up. Called only on an error; returns this object.
    CZyError& Push(const JQCodeLocation& location);
    CZyError& Push(const JQCodeLocation& location, const char* format, ...)
        __attribute__((format(printf, 3, 4)));

    // 0 on success, negative for an error.
    int GetCode() const { return m_code; }
    // The errno value the error was built with; 0 on success.
    int GetErrNo() const;
    // The messages, innermost first: the one the error was built with, then one per Push
    // that carried a message, in push order. Empty on success.
    std::vector<std::string> GetMessages() const;
    // One location per build and per Push, innermost first. Empty on success.
    std::vector<JQCodeLocation> GetLocations() const;
    // The whole chain as readable text: errno name and number, each message with its
    // location. "Success" on success.
    std::string GetDescription() const;

    int m_code;
    boost::shared_ptr<JQErrorPrivate> m_private;
};

class ZY_EXPORT JQErrorUtil {
  public:
    // A new error holding errnoValue, the formatted message and the location.
    static CZyError ErrorErrNo(const JQCodeLocation& location, int errnoValue, const char* format,
                               ...) __attribute__((format(printf, 3, 4)));
};

#endif
