// The picture of a finished test (--plot): one self-contained SVG document.
#pragma once

#include "runners.h"

#include <string>

namespace vh_client {

// The SVG text of the test in `r`: throughput over time for downloads and uploads (the
// session total and each connection, with an upload's server samples), round trips of each
// load connection with the idle baseline and the load's throughput for a latency test.
// `date` goes into the title line. Every plotted series is a polyline with a `data-series`
// name whose points are the report's own numbers (seconds; bits per second or microseconds
// divided by its `data-y-unit`), placed by the transform of its group.
std::string svg_plot(const test_report& r, const std::string& date);

} // namespace vh_client
