#include "DriverFixture.h"

#include <sstream>

namespace drivertest {

::testing::AssertionResult FailedIn(const CZyError& err, int errnoValue, const std::string& message,
                                    const std::string& function) {
    ::testing::AssertionResult result = tqtest::HasError(err, errnoValue, {message});
    if (!result)
        return result;
    JQCodeLocation where = err.GetLocations().front();
    if (std::string(where.m_file) != "TqBlkDriverUnix.cpp" ||
        std::string(where.m_function).find("TqBlkDriverUnix::" + function + "(") ==
            std::string::npos) {
        return ::testing::AssertionFailure()
               << "built at " << where.m_file << " in " << where.m_function;
    }
    return ::testing::AssertionSuccess();
}

void NoNodeTest::SetUp() {
    std::string why = tqharness::EnterPrivateNamespace();
    if (why.empty())
        return;
    if (tqharness::SkipIsFailure())
        FAIL() << "the driver tests cannot run: " << why;
    GTEST_SKIP() << "the driver tests need the emulator: " << why;
}

TqBlkBackingStore* NoNodeTest::privateStore(const std::string& name, long long deviceSize,
                                            int extentSize) {
    return keep(TqBlkPrivateStore::create, name, deviceSize, extentSize);
}

TqBlkBackingStore* NoNodeTest::recallStore(const std::string& name, long long deviceSize,
                                           int extentSize) {
    return keep(TqBlkRecallStore::create, name, deviceSize, extentSize);
}

template <class Factory>
TqBlkBackingStore* NoNodeTest::keep(Factory create, const std::string& name, long long deviceSize,
                                    int extentSize) {
    CZyError err;
    m_stores.emplace_back(
        create((m_temp / name).c_str(), name.c_str(), deviceSize, extentSize, &err));
    EXPECT_FALSE(err.IsError()) << err.GetDescription();
    return m_stores.back().get();
}

void DriverTest::SetUp() {
    NoNodeTest::SetUp();
    if (IsSkipped() || HasFatalFailure())
        return;
    std::string failure = m_emulator.start(tqharness::kDriverDir, emulatorOptions());
    ASSERT_EQ(failure, "");
}

void DriverTest::TearDown() {
    // Close the admin node before its file system goes away.
    NoNodeTest::TearDown();
    m_emulator.stop();
}

std::vector<LoggedRequest> DriverTest::requests() const {
    std::vector<LoggedRequest> result;
    std::istringstream lines(m_emulator.log());
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        LoggedRequest request;
        size_t size = 0;
        std::string hex;
        words >> std::hex >> request.code >> std::dec >> size >> hex;
        for (size_t i = 0; i + 1 < hex.size(); i += 2) {
            request.bytes.push_back(
                static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        }
        EXPECT_EQ(request.bytes.size(), size) << line;
        result.push_back(request);
    }
    return result;
}

LoggedRequest DriverTest::lastRequest() const {
    std::vector<LoggedRequest> all = requests();
    return all.empty() ? LoggedRequest() : all.back();
}

std::string DriverTest::state(const std::string& uuid, const std::string& key) const {
    std::istringstream lines(m_emulator.state());
    std::string line;
    std::string block;  // the device whose lines these are; empty before the first
    while (std::getline(lines, line)) {
        if (line.rfind("device ", 0) == 0) {
            block = line.substr(7);
        } else if (line == "end") {
            block = "\n";
        } else if (block == uuid && (line == key || line.rfind(key + " ", 0) == 0)) {
            return line.size() > key.size() ? line.substr(key.size() + 1) : std::string();
        }
    }
    return "<none>";
}

std::string DriverTest::createDevice(const std::string& uuid) {
    std::string name;
    CZyError err = m_driver->createDevice(uuid.c_str(), privateStore(uuid + "-private"),
                                          recallStore(uuid + "-recall"), &name);
    EXPECT_FALSE(err.IsError()) << err.GetDescription();
    return name;
}

}  // namespace drivertest
