/*
 * prometheus_format.h - yaltime-status's findings as Prometheus metrics.
 *
 * The text exposition format: for each metric a "# HELP" and a "# TYPE"
 * line, then its samples, values in base units (seconds, hertz).  The file
 * is meant for node_exporter's textfile collector, which reads every *.prom
 * file of a folder at each scrape; tools/atomic_file writes it so that a
 * scrape sees the old file or the new one, never half of one.
 */
#ifndef YALTIME_TOOLS_PROMETHEUS_FORMAT_H
#define YALTIME_TOOLS_PROMETHEUS_FORMAT_H

#include <string>
#include <utility>
#include <vector>

#include "tools/clock_error.h"
#include "tools/shared_area.h"
#include "tools/tsc_check.h"
#include "tools/tsc_health.h"

namespace prometheus {

/* Metric families in the order they are added; each is written once. */
class exposition {
public:
    using labels = std::vector<std::pair<std::string, std::string>>;

    void gauge(const std::string &name, const std::string &help, double value, const labels &l = {});
    void counter(const std::string &name, const std::string &help, double value, const labels &l = {});
    std::string text() const;

private:
    void add(const std::string &name, const std::string &help, const char *type, double value, const labels &l);

    struct family {
        std::string name, help, type;
        std::vector<std::string> samples;
    };
    std::vector<family> families_;
};

/* A label value with backslash, double quote and newline escaped. */
std::string escape_label_value(const std::string &value);

/* The shortest text that reads back as the same double; NaN, +Inf, -Inf. */
std::string format_value(double value);

/* Everything yaltime-status knows at the end of a run. */
struct status_facts {
    status::report report;
    int status_code = 0;            /* the exit status */
    clock_error::estimate error;
    tsc_health::health health;
    bool tsc_checked = false;       /* the measurements below were made */
    tsc_check::agreement agreement;
    tsc_check::rate rate;
    tsc_check::verdict verdict;
};

/* The verdicts of the TSC check, each one sample of yaltime_tsc_verdict. */
extern const std::vector<std::string> TSC_VERDICT_NAMES;

/* The statuses the tool can report, each one sample of yaltime_status. */
extern const std::vector<std::string> STATUS_NAMES;

std::string status_metrics(const status_facts &facts);

} // namespace prometheus

#endif /* YALTIME_TOOLS_PROMETHEUS_FORMAT_H */
