// The results archive of the real server: one record per finished session under
// DIR/<kind>/YYYY/MM/DD/<test id>.json, valid against its schema, the session logs unchanged,
// one cut short by the drain's time-out included, and a full log space that drops records and
// counts them.
#include "test_support.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <regex>
#include <thread>
#include <unistd.h>

using namespace vh_test;
namespace fs = std::filesystem;

namespace {

struct Archive : ::testing::Test {
    server_process proc;
    temp_dir logs, archive;
    int port = -1, metrics = -1;
    void start(std::vector<std::string> args) {
        args.insert(args.end(), {"-d", "3", "-l", logs, "--archive-dir", archive, "--metrics",
                                 "127.0.0.1:0", "--drain-timeout", "1"});
        ASSERT_GT(port = start_activated(proc, options(args)), 0);
        metrics = metrics_port(proc);
    }
    // The value of one sample of the metrics page (-1 when it has none), once it is `least` or
    // after 5 s.
    double metric(const std::string& name, double least = -1) {
        double v = -1;
        eventually([&] {
            auto page = scrape(metrics);
            return (v = page.contains(name) ? page[name] : -1) >= least;
        });
        return v;
    }
    // A download on a connection of its own, ended by the client's half-close once data came.
    void download(uint64_t session, const std::string& extra = "") {
        client c(port, download_request(session, 1, 0, extra));
        EXPECT_EQ(c.recv(GET_REPLY.size()), GET_REPLY);
        EXPECT_GT(c.recv(1 << 20).size(), 0u);
        EXPECT_TRUE(c.end());
    }
    // Every file below the archive, relative names.
    std::vector<std::string> files() {
        std::vector<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(archive))
            if (e.is_regular_file())
                names.push_back(fs::relative(e.path(), archive).string());
        return names;
    }
};

// A download, a measured upload, a latency session and a download cut short by the drain's
// time-out each leave one record: its path from its kind, the start's date and its test id, written
// whole (no temporary name left, 0644 in 0755 directories); the members match what happened and the
// session logs, which stay as they were; every record validates against its kind's schema.
TEST_F(Archive, EveryFinishedSessionLeavesOneValidRecord) {
    start({});
    download(11, "&STORE_LOG=1");
    // An upload of one connection that sends until it has its results and the server's close.
    int up = send_new(port, upload_request(12, 1, 0, QUICK_UPLOAD, "&STORE_LOG=1"));
    EXPECT_EQ(recv_exact(up, CONTINUE.size(), 5s), CONTINUE);
    const std::string chunk(64 << 10, 'u');
    std::string results;
    for (int i = 0; i < 3000 && results.empty(); i++) { // until its results, 15 s at most
        send(up, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        results = recv_exact(up, 1, 5ms);
    }
    results += read_until_close(up, 5s);
    close(up);
    EXPECT_NE(results.find("RESULT: OK\n"), std::string::npos) << results;
    int control =
        send_new(port, http_request("GET", latency_target("GET", 4294967600, 50, 1) + "0"));
    EXPECT_EQ(read_reply_head(control, 5s), CREATED);
    std::this_thread::sleep_for(300ms);
    // Read whole: no reset at the close.
    ASSERT_TRUE(fetch_statistics(control).starts_with("HTTP/1.1 200 OK\r\n"));
    close(control);
    // Counted once the record is in place: a moment after its rename.
    EXPECT_EQ(metric("varnholt_archive_records_total{result=\"written\"}", 3), 3);
    ASSERT_EQ(files().size(), 3u) << proc.output;
    ASSERT_TRUE(proc.wait_count("destroyed, test ", 3, 5s)) << proc.output;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(proc.output, m, std::regex("destroyed, test (\\S+)-[0-9]+")));
    const std::string prefix = m[1];
    EXPECT_TRUE(std::regex_match(prefix, std::regex("[A-Za-z0-9._-]+-[0-9]{16}"))) << prefix;
    EXPECT_EQ(metric("varnholt_archive_info{test_id_prefix=\"" + prefix + "\"}"), 1);

    // Cut short: a download still running when the server stops and never ending, cut after
    // the drain's 1 s. Draining, the server is not ready; a connection queued on the inherited
    // socket is left for the next server: neither answered nor refused.
    client cut(port, download_request(13, 1, 0, "&STORE_LOG=1"));
    ASSERT_EQ(cut.recv(GET_REPLY.size()), GET_REPLY);
    const auto stopped = std::chrono::steady_clock::now();
    kill(proc.pid, SIGTERM);
    ASSERT_TRUE(proc.wait_for("Stopping: accepting ended", 5s)) << proc.output;
    client ready(metrics, "GET /ready HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(ready.rest().ends_with("\r\n\r\nnot ready: draining\n"));
    client queued(port, download_request(14));
    EXPECT_EQ(queued.recv(1, 300ms), "");
    EXPECT_EQ(proc.wait_exit(10s), 0) << proc.output;
    EXPECT_GE(std::chrono::steady_clock::now() - stopped, 900ms);
    EXPECT_TRUE(proc.wait_for("Stopping: 1 sessions and 0 uploads cut short after 1 s", 0s));
    // Every worker said it had finished its sessions: none was waited for in vain.
    EXPECT_EQ(proc.output.find("finished their sessions in time"), std::string::npos)
        << proc.output;

    const std::vector<std::string> names = files();
    ASSERT_EQ(names.size(), 4u);
    std::map<std::string, boost::json::value> by_kind;
    std::string command = "python3 -c \"import json,sys,jsonschema\nfor kind,path in "
                          "zip(sys.argv[1::2],sys.argv[2::2]):\n"
                          " jsonschema.Draft202012Validator(json.load(open('" VH_SOURCE_DIR
                          "/schema/'+kind+'.schema.json'))).validate(json.load(open(path)))\n\"";
    for (const std::string& name : names) {
        const fs::path path = archive + "/" + name;
        EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, static_cast<fs::perms>(0644));
        EXPECT_EQ(fs::status(path.parent_path()).permissions() & fs::perms::all,
                  static_cast<fs::perms>(0755));
        boost::json::object record = boost::json::parse(read_file(path)).as_object();
        const std::string kind(record["kind"].as_string()), id(record["test_id"].as_string());
        // The date directories are the start's.
        std::string date(record["start_time"].as_string().subview(0, 10));
        std::replace(date.begin(), date.end(), '-', '/');
        EXPECT_EQ(name, kind + "/" + date + "/" + id + ".json");
        EXPECT_TRUE(std::regex_match(id, std::regex(prefix + "-[1-9][0-9]*"))) << id;
        EXPECT_LE(record["start_time_us"].as_int64(), record["end_time_us"].as_int64());
        EXPECT_EQ(record["client_address"].as_string(), "127.0.0.1");
        EXPECT_EQ(record["server_port"].as_int64(), port) << kind << " " << record;
        const std::string key = kind + (record["outcome"] == "cut_short" ? "-cut" : "");
        EXPECT_TRUE(by_kind.emplace(key, record).second) << key;
        command += " " + kind + " " + path.string();
    }
    EXPECT_EQ(system(command.c_str()), 0) << command;

    const boost::json::value &download = by_kind["download"], &upload = by_kind["upload"],
                             &latency = by_kind["latency"], &cut_short = by_kind["download-cut"];
    EXPECT_EQ(std::tuple(download.at("outcome"), download.at("session_id"), download.at("unit_id"),
                         download.at_pointer("/parameters/STORE_LOG"),
                         download.at_pointer("/connections/0/data_bytes")),
              std::tuple("completed", (4ll << 32) + 11, 4, "1", download.at("data_bytes")));
    // The session log stays what it was, and the record names it and counts the same bytes.
    EXPECT_EQ(read_file(std::string(download.at("session_log").as_string())),
              "VH_HTTP_SERVER: 1.0\nTEST: GET\nCONNECTION: 0\nBYTES_TRANSMITTED: " +
                  std::to_string(download.at("data_bytes").as_int64()) + "\n");
    EXPECT_GT(download.at_pointer("/connections/0/bytes_acked").as_int64(), 0);
    EXPECT_FALSE(download.at_pointer("/connections/0/congestion_control").as_string().empty());

    // The samples' times count from the test's start, which lies within the session's life
    // and before the last interval ended.
    const boost::json::value& detail = upload.at("upload");
    const int64_t test_start = detail.at("test_start_us").as_int64();
    EXPECT_EQ(std::tuple(upload.at("outcome"), detail.at("result_bps"),
                         detail.at("intervals").as_array().size()),
              std::tuple("completed", upload.at("measured_bps"), 3u));
    EXPECT_GT(upload.at("measured_bps").as_double(), 0);
    EXPECT_GE(test_start, upload.at("start_time_us").as_int64());
    EXPECT_LE(test_start + detail.at_pointer("/intervals/2/time_us").as_int64(),
              upload.at("end_time_us").as_int64() + 1000);
    EXPECT_TRUE(
        read_file(std::string(upload.at("session_log").as_string()))
            .starts_with("VH_HTTP_SERVER: 1.0\nTEST: POST\nRESULT: OK\nNUM_CONNECTIONS: 1\n"));

    EXPECT_EQ(std::tuple(latency.at("session_id"),
                         latency.at_pointer("/latency/connections").as_array().size(),
                         latency.at_pointer("/parameters/LATENCY_INTERVAL"),
                         cut_short.at("reason")),
              std::tuple(4294967600, 1u, "50", "the server stopped before the test ended"));
    // Finished before the end, its log written and marked.
    EXPECT_TRUE(read_file(std::string(cut_short.at("session_log").as_string()))
                    .starts_with("VH_HTTP_SERVER: 1.0\nTEST: GET\nCUT_SHORT: 1\nCONNECTION: 0\n"));
}

// With the log space already taken, a finished session's record is not written, nothing is
// deleted, and the drop is counted and logged.
TEST_F(Archive, AFullLogSpaceDropsRecordsAndCountsThem) {
    write_file(logs + "/old.log", 4096);
    start({"--max-log-space", "4K"});
    download(21);
    EXPECT_EQ(metric("varnholt_archive_records_total{result=\"dropped_space\"}", 1), 1);
    EXPECT_EQ(metric("varnholt_archive_records_total{result=\"written\"}"), 0);
    EXPECT_EQ(metric("varnholt_log_space_refusals_total{what=\"archive\"}"), 1);
    EXPECT_TRUE(files().empty());
    EXPECT_EQ(read_file(logs + "/old.log").size(), 4096u);
    EXPECT_TRUE(proc.wait_for("archive record of", 5s)) << proc.output;
}

} // namespace
