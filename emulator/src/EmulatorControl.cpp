#include "Emulator.h"

#include <sstream>

// The emulator's test surface: control commands, the request log, the state dump, and the
// device nodes that the file system shows.

namespace tqemu {
namespace {

// A text as the state shows it: backslash and control characters escaped as in C ("\\",
// "\n", "\t", "\r", else "\xHH"), so that no text sent by a caller can start a line.
std::string escaped(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (byte < 0x20 || byte == 0x7f) {
            out += "\\x";
            out += digits[byte >> 4];
            out += digits[byte & 0xf];
        } else {
            out += c;
        }
    }
    return out;
}

// Reads the command's last word as a number from min to max; false for anything else,
// trailing words included.
bool lastNumber(std::istringstream& words, long long min, long long max, long long* value) {
    if (!(words >> *value) || *value < min || *value > max)
        return false;
    std::string rest;
    return !(words >> rest);
}

std::string joinNumbers(const std::vector<long long>& numbers) {
    std::string text;
    for (long long number : numbers)
        text += " " + std::to_string(number);
    return text;
}

DeviceNode nodeOf(const Device& device) {
    return DeviceNode{device.nodeIno,  device.nodeName,   device.minor,           device.dataIno,
                      device.dataName, device.deviceSize, device.data->writable()};
}

}  // namespace

void Emulator::adminClosed(uint64_t opener) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& entry : m_devices) {
            Device& device = *entry.second;
            if (device.autoAbort && device.creator == opener && !device.aborted)
                abort(device);
        }
    }
    runDeferred();
}

int Emulator::control(const std::string& commands) {
    int error = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::istringstream lines(commands);
        std::string line;
        while (error == 0 && std::getline(lines, line)) {
            if (line.find_first_not_of(" \t\r") != std::string::npos)
                error = controlLine(line);
        }
    }
    runDeferred();
    return error;
}

// The commands: "recall EXTENT UUID", "use EXTENT UUID", "fail ERRNO", "ready-delay MS",
// "clear-log". A UUID is the rest of the line after one space.
int Emulator::controlLine(const std::string& line) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    if (command == "recall" || command == "use") {
        long long extent = 0;
        if (!(words >> extent) || words.get() != ' ')
            return EINVAL;
        std::string uuid;
        std::getline(words, uuid);
        return command == "recall" ? raiseRecall(uuid, extent) : useExtent(uuid, extent);
    }
    long long value = 0;
    if (command == "fail") {
        if (!lastNumber(words, 1, 4095, &value))
            return EINVAL;
        m_failNext = static_cast<int>(value);
        return 0;
    }
    if (command == "ready-delay") {
        if (!lastNumber(words, 0, kMaxMillis, &value))
            return EINVAL;
        m_readyDelay = std::chrono::milliseconds(value);
        return 0;
    }
    if (command == "clear-log") {
        m_log.clear();
        return 0;
    }
    if (command == "hold-answers") {
        m_holdAnswers = true;
        return 0;
    }
    if (command == "release-answers" || command == "drop-answers") {
        releaseHeld(command == "release-answers");
        return 0;
    }
    return EINVAL;
}

int Emulator::raiseRecall(const std::string& uuid, long long extent) {
    auto found = m_devices.find(uuid);
    if (found == m_devices.end())
        return ENODEV;
    Device& device = *found->second;
    if (device.aborted)
        return ESHUTDOWN;
    if (extent < 0 || extent >= device.recallExtentCount())
        return EINVAL;
    device.recalls.request(extent);
    serveWaiters(device);
    return 0;
}

int Emulator::useExtent(const std::string& uuid, long long extent) {
    auto found = m_devices.find(uuid);
    if (found == m_devices.end())
        return ENODEV;
    Device& device = *found->second;
    if (extent < 0 || extent >= device.extentCount())
        return EINVAL;
    device.use(extent);
    return 0;
}

std::string Emulator::renderLog() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_log.render();
}

std::string Emulator::renderState() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::ostringstream out;
    out << "config " << m_config << "\nready-delay " << m_readyDelay.count() << "\n"
        << "held-answers " << m_held.size() << "\n";
    Clock::time_point now = Clock::now();
    for (const auto& entry : m_devices) {
        const Device& d = *entry.second;
        size_t bitsSet = 0;
        for (unsigned char byte : d.recallBitmap)
            bitsSet += __builtin_popcount(byte);
        out << "device " << escaped(d.uuid) << "\n"
            << "name " << escaped(d.name) << "\n"
            << "minor " << d.minor << "\n"
            << "device-size " << d.deviceSize << "\n"
            << "private " << d.privateStore.extentSize << " " << escaped(d.privateStore.dir) << "\n"
            << "recall " << d.recallStore.extentSize << " " << escaped(d.recallStore.dir) << "\n"
            << "recall-device " << escaped(d.recallDeviceName) << "\n"
            << "recall-bitmap " << d.recallBitmap.size() << " " << bitsSet << "\n"
            << "auto-abort " << d.autoAbort << "\n"
            << "aborted " << d.aborted << "\n"
            << "monitored " << d.monitored << "\n"
            << "ready " << (now >= d.readyAt) << "\n"
            << "mru-count " << d.mruCount << "\n"
            << "mru" << joinNumbers({d.mru.begin(), d.mru.end()}) << "\n"
            << "block-sizes " << d.blockSizes[0] << " " << d.blockSizes[1] << " " << d.blockSizes[2]
            << " " << d.blockSizes[3] << "\n"
            << "queued" << joinNumbers(d.recalls.queued()) << "\n"
            << "fetched" << joinNumbers(d.recalls.fetched()) << "\n"
            << "answered";
        for (const RecallAnswer& answer : d.answers)
            out << " " << answer.extent << ":" << answer.error;
        out << "\nwaiting " << d.waiters.size() << "\nio-waiting " << d.ioWaiters.size()
            << "\nend\n";
    }
    return out.str();
}

bool Emulator::findNode(const std::string& name, DeviceNode* node) const {
    return findNodeWhere(
        [&](const Device& device) { return device.nodeName == name || device.dataName == name; },
        node);
}

bool Emulator::findNode(uint64_t ino, DeviceNode* node) const {
    return findNodeWhere(
        [&](const Device& device) { return device.nodeIno == ino || device.dataIno == ino; }, node);
}

template <class Match>
bool Emulator::findNodeWhere(Match match, DeviceNode* node) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& entry : m_devices) {
        const Device& device = *entry.second;
        if (match(device)) {
            *node = nodeOf(device);
            return true;
        }
    }
    return false;
}

std::vector<DeviceNode> Emulator::nodes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<DeviceNode> result;
    for (const auto& entry : m_devices) {
        result.push_back(nodeOf(*entry.second));
    }
    return result;
}

}  // namespace tqemu
