#pragma once
// A loopback stand-in for the exchange's real-time quote service, over HTTP or HTTPS, serving
// the recorded answers of twse/ (see twse/README.md), and a test certificate authority made
// with the openssl program.
//
//   FakeUpstream up;                       // or FakeUpstream up(&certs) for HTTPS
//   up.Serve("morning.json");
//   options.upstream = up.Url();
//   up.SetMode(FakeUpstream::Mode::Status500);
//
// Like the real service it can want a session: with RequireSession() a quote request without
// the cookie that /stock/index.jsp set last is answered without msgArray (twse/nosession.json).
// DripUpstream is a service that never finishes its header.
#include "support/TempDir.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
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
        bool session = false;            // a request of /stock/index.jsp
        std::string cookie;              // its Cookie header
        std::multimap<std::string, std::string> params;
    };

    // HTTP, or HTTPS with the certificate and key given.
    explicit FakeUpstream(const std::string& certFile = {}, const std::string& keyFile = {}) {
        if (certFile.empty())
            FServer = std::make_unique<httplib::Server>();
        else
            FServer = std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str());
        FServer->Get("/stock/api/getStockInfo.jsp",
                     [this](const httplib::Request& req, httplib::Response& res) { Answer(req, res); });
        // The exchange's published daily quotes, listed and over the counter: "[]" until given.
        for (const char* path : {"/v1/exchangeReport/STOCK_DAY_ALL", "/openapi/v1/tpex_mainboard_quotes"})
            FServer->Get(path, [this, path](const httplib::Request&, httplib::Response& res) {
                std::lock_guard<std::mutex> g(FLock);
                ++FDailyAsked;
                auto it = FDaily.find(path);
                res.set_content(it == FDaily.end() ? "[]" : it->second, "application/json");
            });
        FServer->Get("/stock/index.jsp", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> g(FLock);
            Request r{std::chrono::steady_clock::now(), {}, FMode, true, req.get_header_value("Cookie"), req.params};
            FRequests.push_back(r);
            FWake.notify_all();
            res.set_header("Set-Cookie", "JSESSIONID=S" + std::to_string(FSession) + "; Path=/; HttpOnly");
            res.set_header("Set-Cookie", "bad cookie\x01=x");
            res.set_content("<html><body>index</body></html>", "text/html");
        });
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

    // The daily quotes' URLs, listed and over the counter.
    std::vector<std::string> DailyClosesUrls() const {
        std::string base = std::string(FHttps ? "https" : "http") + "://127.0.0.1:" + std::to_string(FPort);
        return {base + "/v1/exchangeReport/STOCK_DAY_ALL", base + "/openapi/v1/tpex_mainboard_quotes"};
    }
    // Serves this file of twse/ as the listed stocks' daily quotes from now on.
    void ServeDailyCloses(const std::string& recorded) {
        std::lock_guard<std::mutex> g(FLock);
        FDaily["/v1/exchangeReport/STOCK_DAY_ALL"] =
            testsupport::ReadFileBytes(testsupport::SourceDir() + "/tests/server/twse/" + recorded);
    }
    int DailyClosesAsked() {
        std::lock_guard<std::mutex> g(FLock);
        return FDailyAsked;
    }
    // Answers from this recorded file of twse/ from now on. A file holding an array of answers
    // is a series: its first answer is served until Advance().
    void Serve(const std::string& recorded) {
        ServeAnswers(nlohmann::json::parse(
            testsupport::ReadFileBytes(testsupport::SourceDir() + "/tests/server/twse/" + recorded)));
    }
    void ServeAnswers(nlohmann::json answers) {
        std::lock_guard<std::mutex> g(FLock);
        FSeries = answers.is_array() ? std::move(answers) : nlohmann::json::array({std::move(answers)});
        FRecorded = FSeries[0];
    }
    // The next answer of the series.
    void Advance() {
        std::lock_guard<std::mutex> g(FLock);
        FRecorded = FSeries[std::min<std::size_t>(++FStep, FSeries.size() - 1)];
    }
    // Quote requests need the cookie of the latest session from now on.
    void RequireSession() {
        std::lock_guard<std::mutex> g(FLock);
        FNeedSession = true;
    }
    // The session the service gave ends: the next quote request needs a new one.
    void EndSession() {
        std::lock_guard<std::mutex> g(FLock);
        ++FSession;
    }
    // The most requests (quotes and sessions) made within any span of this length.
    std::size_t MostRequestsWithin(std::chrono::milliseconds span) {
        std::lock_guard<std::mutex> g(FLock);
        std::size_t most = 0;
        for (std::size_t i = 0; i < FRequests.size(); ++i) {
            std::size_t j = i;
            while (j < FRequests.size() && FRequests[j].at - FRequests[i].at < span) ++j;
            most = std::max(most, j - i);
        }
        return most;
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
        Request r{std::chrono::steady_clock::now(), {}, FMode, false, req.get_header_value("Cookie"), req.params};
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
        if (FNeedSession && r.cookie.find("JSESSIONID=S" + std::to_string(FSession)) == std::string::npos) {
            res.set_content(testsupport::ReadFileBytes(testsupport::SourceDir() + "/tests/server/twse/nosession.json"),
                            "application/json");
            return;
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
    nlohmann::json FRecorded, FSeries;
    std::size_t FStep = 0;
    bool FNeedSession = false;
    int FSession = 1;
    std::vector<Request> FRequests;
    std::map<std::string, std::string> FDaily;
    int FDailyAsked = 0;
};

// A service that accepts, then sends its answer's header one byte every period and never ends
// it: a stalled upstream. Counts its connections.
class DripUpstream {
public:
    explicit DripUpstream(std::chrono::milliseconds period) : FPeriod(period) {
        FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof addr;
        ::bind(FListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(FListen, 64);
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&addr), &size);
        FPort = ntohs(addr.sin_port);
        FThread = std::thread([this] { Run(); });
    }
    ~DripUpstream() {
        FStop = true;
        FThread.join();
        ::close(FListen);
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(FPort) + "/stock/api/getStockInfo.jsp"; }
    int Connections() const { return FConnections; }

private:
    void Run() {
        const std::string header =
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nX-Padding: " + std::string(100000, 'x');
        std::vector<std::pair<int, std::size_t>> clients;  // socket, bytes sent
        while (!FStop) {
            pollfd p{FListen, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(FPeriod.count())) > 0) {
                int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    clients.emplace_back(fd, 0);
                    ++FConnections;
                }
            }
            for (auto& [fd, sent] : clients)
                if (sent < header.size() && ::send(fd, &header[sent], 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) ++sent;
        }
        for (auto& [fd, sent] : clients) ::close(fd);
    }

    std::chrono::milliseconds FPeriod;
    int FListen = -1, FPort = 0;
    std::atomic<bool> FStop = false;
    std::atomic<int> FConnections = 0;
    std::thread FThread;
};

}  // namespace fakeupstream
