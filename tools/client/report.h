// What the client prints: the text report for people and the JSON document for scripts.
#pragma once

#include "runners.h"

#include <boost/json/value.hpp>
#include <cstdio>
#include <string>

namespace vh_client {

// The report of a finished test, several lines of text.
void print_text_report(const test_report& r, FILE* out);
// `v` as compact JSON text with plain decimal numbers ("2.000011573", never "2.000011573E0").
std::string plain_json(const boost::json::value& v);
// One JSON document with everything the report holds ("ok": true).
std::string json_report(const test_report& r);
// Hooks that print one JSON object per line on `out` as the test runs (--json-stream): every
// interval of the load, every sample of an upload's results, every statistics fetch.
live_hooks json_stream_hooks(FILE* out);
// The JSON document of a test that could not be run ("ok": false and the error).
std::string json_error(const client_options& o, const std::string& error);

} // namespace vh_client
