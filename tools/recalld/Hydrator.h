#ifndef TQBLK_RECALLD_HYDRATOR_H
#define TQBLK_RECALLD_HYDRATOR_H

#include "Background.h"
#include "Retry.h"

#include <thread>

namespace recalld {

// Hydration: walks every extent from the first and brings in those still missing, at most
// mibPerSecond (0: as fast as one thread goes), pass after pass 5 s apart until the store
// holds them all. Under a store limit it brings extents in only while they fit under the
// high mark (past it eviction would remove what it brings) and stops, saying so, where the
// device does not fit. On a thread of its own, with wake-ups of its own.
class Hydrator {
  public:
    Hydrator(BackgroundFill& fill, TqBlkBackingStore& store, double mibPerSecond, Evictor* evictor,
             Progress& progress);
    ~Hydrator() { stop(); }
    Hydrator(const Hydrator&) = delete;
    Hydrator& operator=(const Hydrator&) = delete;

    // Throws std::system_error when the system refuses the thread.
    void start();
    // Ends the thread after the extent it is placing.
    void stop();

  private:
    void run();
    bool roomFor(long long extent, long long moved);
    long long countPresent();

    BackgroundFill& m_fill;
    TqBlkBackingStore& m_store;
    const double m_mibPerSecond;
    Evictor* const m_evictor;
    Progress& m_progress;
    const long long m_extentSize;
    const long long m_extentCount;
    tqtools::Interrupter m_stop;  // ends its pauses at once
    std::thread m_thread;
};

}  // namespace recalld

#endif
