#ifndef TQBLK_RECALLD_METRICS_H
#define TQBLK_RECALLD_METRICS_H

#include <string>

namespace recalld {

// The counters of a stats document (Stats::json()) in Prometheus' text exposition format,
// for node-exporter's textfile collector. Every sample is labelled with the device, so the
// files of several services can share the collector's directory. Known keys get their own
// metric name, type and help (counters end in _total); other numbers become gauges named
// after their key; an object of numbers becomes one metric labelled by its keys, and an
// object with "buckets", "sum" and "count" a histogram. Empty when the document is not a
// JSON object.
std::string metricsText(const std::string& statsJson);

}  // namespace recalld

#endif
