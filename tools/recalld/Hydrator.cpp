#include "Hydrator.h"

#include "Evictor.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

namespace recalld {

using Clock = std::chrono::steady_clock;

Hydrator::Hydrator(BackgroundFill& fill, TqBlkBackingStore& store, double mibPerSecond,
                   Evictor* evictor, Progress& progress)
    : m_fill(fill),
      m_store(store),
      m_mibPerSecond(mibPerSecond),
      m_evictor(evictor),
      m_progress(progress),
      m_extentSize(store.getExtentSize()),
      m_extentCount((store.getDeviceSize() + m_extentSize - 1) / m_extentSize) {}

void Hydrator::start() {
    m_thread = std::thread([this] { run(); });
}

void Hydrator::stop() {
    m_stop.interrupt();
    if (m_thread.joinable())
        m_thread.join();
}

bool Hydrator::roomFor(long long extent, long long moved) {
    if (m_evictor == nullptr || m_evictor->roomFor(m_extentSize))
        return true;
    const EvictOptions& limits = m_evictor->options();
    m_progress.warning("hydration stopped at extent " + std::to_string(extent) + " of " +
                       std::to_string(m_extentCount) + " after " + std::to_string(moved) +
                       " bytes: the device does not fit under the recall store's limit of " +
                       std::to_string(limits.limit) + " bytes (high watermark " +
                       std::to_string(limits.highMark()) + "); demand recalls go on");
    return false;
}

long long Hydrator::countPresent() {
    long long present = 0;
    for (long long extent = 0; extent < m_extentCount; ++extent) {
        bool exists = false;
        if (!m_store.checkExtentFile(extent, &exists).IsError() && exists)
            ++present;
    }
    return present;
}

void Hydrator::run() {
    const double bytesPerSecond = m_mibPerSecond * 1024 * 1024;
    const auto started = Clock::now();
    Clock::time_point clock = started;  // when the next extent may start, at the rate
    auto lastNote = started;
    long long moved = 0;
    char rate[64] = "";
    if (bytesPerSecond > 0)
        std::snprintf(rate, sizeof rate, " at %.1f MiB/s", m_mibPerSecond);
    m_progress.note("hydrating " + std::to_string(m_extentCount) + " extents" + rate);
    for (;;) {
        for (long long extent = 0; extent < m_extentCount; ++extent) {
            bool present = false;
            if (!m_store.checkExtentFile(extent, &present).IsError() && present)
                continue;
            if (!roomFor(extent, moved))
                return;
            if (bytesPerSecond > 0) {
                // Paced by the bytes moved: a late start is not made up with a burst.
                clock = std::max(clock, Clock::now() - std::chrono::milliseconds(100));
                if (!m_stop.sleepUntil(clock))
                    return;
            }
            long long bytes = 0;
            const int e = m_fill.fill(m_store, extent, "hydration", &bytes);
            if ((e == ECANCELED || e == ESTALE) && (m_fill.over() || m_stop.interrupted()))
                return;
            if (e == 0)
                moved += bytes;
            if (bytesPerSecond > 0)
                clock += std::chrono::microseconds(
                    static_cast<long long>(static_cast<double>(bytes) / bytesPerSecond * 1e6));
            if (Clock::now() - lastNote >= std::chrono::seconds(10)) {
                lastNote = Clock::now();
                m_progress.note("hydrating: at extent " + std::to_string(extent) + " of " +
                                std::to_string(m_extentCount) + ", " + std::to_string(moved) +
                                " bytes brought in");
            }
        }
        const long long present = countPresent();
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        if (present == m_extentCount) {
            m_progress.note("device fully hydrated: " + std::to_string(present) + "/" +
                            std::to_string(m_extentCount) + " extents present; " +
                            std::to_string(moved) + " bytes brought in over " +
                            std::to_string(static_cast<long long>(seconds * 1000)) + " ms");
            return;
        }
        m_progress.note("hydration pass ended with " + std::to_string(present) + "/" +
                        std::to_string(m_extentCount) + " extents present; another pass in 5 s");
        if (m_fill.over() || !m_stop.sleep(5000))
            return;
    }
}

}  // namespace recalld
