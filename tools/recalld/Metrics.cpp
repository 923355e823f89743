#include "Metrics.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cstdio>
#include <map>
#include <sstream>

namespace recalld {
namespace {

struct Family {
    const char* name;  // without the tqblk_recalld_ prefix
    const char* type;
    const char* help;
    const char* label;  // for an object of numbers: the label its keys go in
};

// The stats document's keys that Prometheus users know by other names.
const std::map<std::string, Family>& families() {
    static const std::map<std::string, Family> known = {
        {"demand_recalls",
         {"demand_recalls_total", "counter", "Recall requests fetched from the driver.", ""}},
        {"done", {"recalls_done_total", "counter", "Recalls put in place and answered.", ""}},
        {"failed", {"recalls_failed_total", "counter", "Recalls answered with an error.", ""}},
        {"failed_by_errno",
         {"recalls_failed_by_errno_total", "counter", "Recalls answered with each error.",
          "errno"}},
        {"source_bytes_fetched",
         {"source_fetched_bytes_total", "counter", "Bytes fetched from the source's store.", ""}},
        {"bytes", {"recalled_bytes_total", "counter", "Bytes put in place by recalls.", ""}},
        {"in_flight", {"recalls_in_flight", "gauge", "Recalls fetched and not yet answered.", ""}},
        {"extents_present",
         {"extents_present", "gauge", "Extents present in the recall store.", ""}},
        {"extent_count", {"extents", "gauge", "Extents of the device.", ""}},
        {"bytes_per_second",
         {"recall_bytes_per_second", "gauge", "Bytes recalled per second, lately.", ""}},
        {"extents_per_second",
         {"recall_extents_per_second", "gauge", "Extents recalled per second, lately.", ""}},
        {"uptime_seconds", {"uptime_seconds", "gauge", "Seconds since the service started.", ""}},
        {"updated", {"updated_timestamp_seconds", "gauge", "When the counters were taken.", ""}},
        {"recall_seconds",
         {"recall_duration_seconds", "histogram",
          "Time from fetching a recall request to answering it.", ""}},
        // Not counters: identify the process.
        {"pid", {"", "", "", ""}},
    };
    return known;
}

// A label value, escaped as the format wants: backslash, double quote and line feed.
std::string escaped(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out;
}

std::string number(const nlohmann::json& value) {
    if (value.is_number_integer())
        return std::to_string(value.get<long long>());
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value.get<double>());
    return text;
}

// Letters, digits and underscores only, as metric names and label names must be.
std::string metricName(const std::string& key) {
    std::string out;
    for (char c : key)
        out += (std::isalnum(static_cast<unsigned char>(c)) != 0) ? c : '_';
    return out;
}

class Writer {
  public:
    explicit Writer(std::string labels) : m_labels(std::move(labels)) {}

    void header(const std::string& name, const char* type, const std::string& help) {
        m_out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
    }
    void sample(const std::string& name, const std::string& extra, const std::string& value) {
        m_out << name << '{' << m_labels << extra << "} " << value << '\n';
    }
    std::string text() const { return m_out.str(); }

  private:
    std::string m_labels;
    std::ostringstream m_out;
};

void histogram(Writer& w, const std::string& name, const nlohmann::json& h) {
    for (const auto& bucket : h["buckets"]) {
        if (!bucket.is_array() || bucket.size() != 2 || !bucket[1].is_number())
            continue;
        std::string le = bucket[0].is_number() ? number(bucket[0]) : "+Inf";
        w.sample(name + "_bucket", ",le=\"" + le + '"', number(bucket[1]));
    }
    w.sample(name + "_sum", "", number(h["sum"]));
    w.sample(name + "_count", "", number(h["count"]));
}

bool isHistogram(const nlohmann::json& v) {
    return v.is_object() && v.contains("buckets") && v["buckets"].is_array() && v.contains("sum") &&
           v["sum"].is_number() && v.contains("count") && v["count"].is_number();
}

}  // namespace

std::string metricsText(const std::string& statsJson) {
    nlohmann::json stats = nlohmann::json::parse(statsJson, nullptr, false);
    if (stats.is_discarded() || !stats.is_object())
        return "";
    Writer w("device=\"" + escaped(stats.value("device", "")) + '"');
    const std::string prefix = "tqblk_recalld_";
    w.header(prefix + "state", "gauge",
             "1 for the service's state (starting, waiting, serving...).");
    w.sample(prefix + "state", ",state=\"" + escaped(stats.value("state", "")) + '"', "1");
    for (const auto& item : stats.items()) {
        const nlohmann::json& v = item.value();
        auto known = families().find(item.key());
        Family f =
            known != families().end() ? known->second : Family{nullptr, "gauge", nullptr, "key"};
        if (f.name != nullptr && f.name[0] == '\0')
            continue;
        const std::string name = prefix + (f.name ? f.name : metricName(item.key()));
        const std::string help = f.help ? f.help : "The stats file's " + item.key() + ".";
        if (v.is_number()) {
            w.header(name, f.type, help);
            w.sample(name, "", number(v));
        } else if (isHistogram(v)) {
            w.header(name, "histogram", help);
            histogram(w, name, v);
        } else if (v.is_object()) {
            bool headed = false;
            for (const auto& entry : v.items()) {
                if (!entry.value().is_number())
                    continue;
                if (!headed)
                    w.header(name, f.type, help);
                headed = true;
                w.sample(name, std::string(",") + f.label + "=\"" + escaped(entry.key()) + '"',
                         number(entry.value()));
            }
        }
    }
    return w.text();
}

}  // namespace recalld
