#pragma once
// A loopback stand-in for the exchange's real-time quote service, over HTTP or HTTPS, serving
// the recorded answers of twse/ (see twse/README.md), and a test certificate authority made
// with the openssl program.
//
//   FakeUpstream up;                       // or FakeUpstream up(&certs) for HTTPS
//   up.Serve("morning.json");
//   options.upstream = up.Url();
//   up.SetMode(FakeUpstream::Mode::Status500);
#include "support/TempDir.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fakeupstream {

// A certificate authority and a server certificate it signed for 127.0.0.1, plus an unrelated
// authority and a certificate of the first one for another host name. Made in dir.
struct TestCerts {
    std::string caFile, otherCaFile, certFile, keyFile, wrongNameCertFile, wrongNameKeyFile;
    bool ok = false;

    explicit TestCerts(const testsupport::TempDir& dir) {
        auto run = [](const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; };
        const std::string d = dir.path() + "/";
        const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
        auto authority = [&](const std::string& name) {
            return run("openssl req -x509" + ec + " -days 2 -subj /CN=" + name + " -keyout " + d + name + ".key" +
                       " -out " + d + name + ".pem");
        };
        auto leaf = [&](const std::string& name, const std::string& san) {
            testsupport::WriteFileBytes(d + name + ".ext", "basicConstraints=CA:FALSE\nsubjectAltName=" + san + "\n");
            return run("openssl req" + ec + " -subj /CN=quote-test -keyout " + d + name + ".key -out " + d + name +
                       ".csr") &&
                   run("openssl x509 -req -days 2 -in " + d + name + ".csr -CA " + d + "ca.pem -CAkey " + d +
                       "ca.key -CAcreateserial -extfile " + d + name + ".ext -out " + d + name + ".pem");
        };
        ok = authority("ca") && authority("other") && leaf("server", "IP:127.0.0.1,DNS:localhost") &&
             leaf("elsewhere", "DNS:quotes.example");
        caFile = d + "ca.pem";
        otherCaFile = d + "other.pem";
        certFile = d + "server.pem";
        keyFile = d + "server.key";
        wrongNameCertFile = d + "elsewhere.pem";
        wrongNameKeyFile = d + "elsewhere.key";
    }
};

class FakeUpstream {
public:
    enum class Mode { Normal, Status500, BadJson, Refusal, Stall };

    struct Request {
        std::chrono::steady_clock::time_point at;
        std::set<std::string> channels;  // "tse_2330.tw", ...
        Mode mode;                       // how it was answered
    };

    // HTTP, or HTTPS with the certificate and key given.
    explicit FakeUpstream(const std::string& certFile = {}, const std::string& keyFile = {}) {
        if (certFile.empty())
            FServer = std::make_unique<httplib::Server>();
        else
            FServer = std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str());
        FServer->Get("/stock/api/getStockInfo.jsp",
                     [this](const httplib::Request& req, httplib::Response& res) { Answer(req, res); });
        FPort = FServer->bind_to_any_port("127.0.0.1");
        FHttps = !certFile.empty();
        FThread = std::thread([this] { FServer->listen_after_bind(); });
    }
    ~FakeUpstream() {
        {
            std::lock_guard<std::mutex> g(FLock);
            FStopping = true;
        }
        FWake.notify_all();
        FServer->stop();
        FThread.join();
    }

    std::string Url() const {
        return std::string(FHttps ? "https" : "http") + "://127.0.0.1:" + std::to_string(FPort) +
               "/stock/api/getStockInfo.jsp";
    }

    // Answers from this recorded file of twse/ from now on.
    void Serve(const std::string& recorded) {
        std::string text = testsupport::ReadFileBytes(testsupport::SourceDir() + "/tests/server/twse/" + recorded);
        std::lock_guard<std::mutex> g(FLock);
        FRecorded = nlohmann::json::parse(text);
    }
    void SetMode(Mode mode) {
        {
            std::lock_guard<std::mutex> g(FLock);
            FMode = mode;
        }
        FWake.notify_all();  // ends a stall
    }
    void SetUserDelay(int ms) {
        std::lock_guard<std::mutex> g(FLock);
        FUserDelay = ms;
    }

    std::vector<Request> Requests() {
        std::lock_guard<std::mutex> g(FLock);
        return FRequests;
    }
    // Waits up to timeout for the count of requests to reach n.
    bool WaitForRequests(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> g(FLock);
        return FWake.wait_for(g, timeout, [&] { return FRequests.size() >= n; });
    }

private:
    void Answer(const httplib::Request& req, httplib::Response& res) {
        std::unique_lock<std::mutex> g(FLock);
        Request r{std::chrono::steady_clock::now(), {}, FMode};
        std::stringstream channels(req.get_param_value("ex_ch"));
        for (std::string c; std::getline(channels, c, '|');) r.channels.insert(c);
        FRequests.push_back(r);
        FWake.notify_all();
        switch (FMode) {
        case Mode::Status500:
            res.status = 500;
            res.set_content("<html><body>Internal Server Error</body></html>", "text/html");
            return;
        case Mode::BadJson:
            res.set_content("{\"msgArray\":[{\"c\":\"2330\",", "application/json");
            return;
        case Mode::Refusal:
            res.set_content(testsupport::ReadFileBytes(testsupport::SourceDir() + "/tests/server/twse/rtcode.json"),
                            "application/json");
            return;
        case Mode::Stall:
            FWake.wait_for(g, std::chrono::seconds(30), [&] { return FStopping || FMode != Mode::Stall; });
            return;
        case Mode::Normal:
            break;
        }
        nlohmann::json answer = FRecorded;
        nlohmann::json kept = nlohmann::json::array();
        for (const auto& stock : FRecorded["msgArray"])
            if (r.channels.count(stock["ex"].get<std::string>() + "_" + stock["c"].get<std::string>() + ".tw"))
                kept.push_back(stock);
        answer["msgArray"] = kept;
        answer["userDelay"] = FUserDelay;
        res.set_content(answer.dump(), "application/json;charset=UTF-8");
    }

    std::unique_ptr<httplib::Server> FServer;
    std::thread FThread;
    int FPort = 0;
    bool FHttps = false;
    std::mutex FLock;
    std::condition_variable FWake;
    bool FStopping = false;
    Mode FMode = Mode::Normal;
    int FUserDelay = 5000;
    nlohmann::json FRecorded;
    std::vector<Request> FRequests;
};

}  // namespace fakeupstream
