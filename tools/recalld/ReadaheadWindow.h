#ifndef TQBLK_RECALLD_READAHEADWINDOW_H
#define TQBLK_RECALLD_READAHEADWINDOW_H

#include <algorithm>

namespace recalld {

// Which extents readahead brings in, from the demand recalls alone: a sequential run of them
// grows a window that doubles from 2 up to the cap while the run goes on, and starts over
// where it breaks. Workers answer out of order, so a recall a little behind the run neither
// grows nor breaks it. No threads, no clock: its owner locks and queues.
class ReadaheadWindow {
  public:
    struct Step {
        bool restart = false;  // the run broke: what was queued for it is no longer wanted
        long long first = 0;   // bring in [first, last] now; nothing when first > last
        long long last = -1;
    };

    ReadaheadWindow(long long cap, long long extentCount) : m_cap(cap), m_count(extentCount) {}

    // A demand recall of extent.
    Step demanded(long long extent) {
        Step step;
        if (extent < m_lastDemand && extent + kBehind >= m_lastDemand)
            return step;
        const bool sequential =
            extent > m_lastDemand && extent <= std::max(m_runEnd, m_lastDemand) + 1;
        m_lastDemand = extent;
        if (!sequential) {
            m_window = 0;
            m_runEnd = extent;
            step.restart = true;
            return step;
        }
        m_window = std::min(std::max(2LL, m_window * 2), m_cap);
        step.first = std::max(m_runEnd, extent) + 1;
        step.last = std::min(extent + m_window, m_count - 1);
        m_runEnd = std::max(m_runEnd, step.last);
        return step;
    }

  private:
    static constexpr long long kBehind = 4;  // how far behind the run a recall may come

    const long long m_cap;
    const long long m_count;
    long long m_lastDemand = -2;
    long long m_runEnd = -2;  // the last extent of the run and its readahead
    long long m_window = 0;
};

}  // namespace recalld

#endif
