#include "net/KesHttp.h"

#include "NginxServer.h"
#include "support/LoopbackServer.h"
#include "support/TempDir.h"
#include "ui/core/Application.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <gtest/gtest.h>
#include <memory>

using nettest::LoopbackServer;
using nettest::MessageOf;
using Conn = LoopbackServer::Conn;

namespace {

const std::string kAccept1 = "Accept: www/source, text/html, video/mpeg, image/jpeg, image/x-tiff\r\n";
const std::string kAccept2 = "Accept: image/x-rgb, image/x-xbm, image/gif, */*, application/postscript\r\n";
const std::string kContentType = "Content-type: application/x-www-form-urlencoded\r\n";

std::string Base(int port) { return "http://127.0.0.1:" + std::to_string(port); }

// Reads the request, then answers with the response and closes.
LoopbackServer::Script Answer(std::string response) {
    return [response](Conn& c) {
        c.ReadRequest();
        c.Send(response);
    };
}

struct StopHere {};

}  // namespace

TEST(ExStringList, IndexOfHeaderAndSetHeader) {
    TExStringList l;
    l.Add("GET / HTTP/1.0");
    l.Add("host: a");
    l.Add("Cookie: x=1:2");
    EXPECT_EQ(l.IndexOfHeader("HOST"), 1);
    EXPECT_EQ(l.IndexOfHeader("cookie"), 2);
    EXPECT_EQ(l.IndexOfHeader("GET / HTTP/1.0"), -1);  // no colon, no match
    EXPECT_EQ(l.IndexOfHeader("x=1"), -1);
    l.SetHeader("Host", "b");
    EXPECT_EQ(l[1], "Host: b");
    l.SetHeader("Referer", "r");
    EXPECT_EQ(l.Count(), 4);
    EXPECT_EQ(l[3], "Referer: r");
    l.SetHeader("COOKIE", "");
    EXPECT_EQ(l.Count(), 3);
    EXPECT_EQ(l.IndexOfHeader("Cookie"), -1);
    l.SetHeader("Nothing", "");  // deleting a missing line is no error
    EXPECT_EQ(l.Text(), "GET / HTTP/1.0\r\nHost: b\r\nReferer: r\r\n");
}

TEST(HttpParseURL, HostPortPathAndSchemes) {
    TKesHTTP h;
    auto parse = [&](const std::string& url) {
        h.URL = url;
        h.ParseURL();
    };
    parse("http://h:8080/x");
    EXPECT_EQ(h.Host, "h");
    EXPECT_EQ(h.Port, 8080);
    EXPECT_EQ(h.RequestPath, "/x");

    parse("http://other");
    EXPECT_EQ(h.Host, "other");
    EXPECT_EQ(h.Port, 80);
    EXPECT_EQ(h.RequestPath, "/");
    EXPECT_EQ(h.URL, "http://other/");

    parse("/only/a/path?q=1");
    EXPECT_EQ(h.Host, "other");  // kept
    EXPECT_EQ(h.RequestPath, "/only/a/path?q=1");

    parse("ftp://files/x");
    EXPECT_EQ(h.Port, 21);  // chooses the port only
    parse("GOPHER://g/");
    EXPECT_EQ(h.Port, 70);

    std::string longPath = "/" + std::string(300, 'p');
    parse("http://h" + longPath);
    EXPECT_EQ(h.RequestPath, longPath.substr(0, 256));

    EXPECT_EQ(MessageOf<Exception>([&] { parse(""); }), "Empty URL");
    EXPECT_EQ(MessageOf<Exception>([&] { parse("HtTpS://h/"); }), "HTTP Secure Socket is not supported");
    EXPECT_THROW(parse("http://h:port/"), EConvertError);

    // No scheme: the port is left as it was, 80 on a fresh component.
    TKesHTTP fresh;
    fresh.URL = "h2/x";
    fresh.ParseURL();
    EXPECT_EQ(fresh.Host, "h2");
    EXPECT_EQ(fresh.Port, 80);
    EXPECT_EQ(fresh.RequestPath, "/x");
    fresh.Port = 81;
    fresh.URL = "h3/y";
    fresh.ParseURL();
    EXPECT_EQ(fresh.Port, 81);
}

TEST(HttpBuildRequest, RequestWordsAndHeaderLines) {
    TKesHTTP h;
    auto build = [&](CmdType cmd) {
        h.CurrentCmd = cmd;
        h.URL = "http://h/p";
        h.ParseURL();
        h.BuildRequest();
        return h.RequestLines.Text();
    };
    const std::string common = "Host: h\r\n" + kAccept1 + kAccept2 + kContentType;
    EXPECT_EQ(build(cmdGet), "GET /p HTTP/1.0\r\n" + common);
    EXPECT_EQ(build(cmdOptions), "OPTIONS /p HTTP/1.0\r\n" + common);
    EXPECT_EQ(build(cmdHead), "HEAD /p HTTP/1.0\r\n" + common);
    EXPECT_EQ(build(cmdDelete), "DELETE /p HTTP/1.0\r\n" + common);
    h.SendData = "12345";
    EXPECT_EQ(build(cmdPut), "PUT /p HTTP/1.0\r\n" + common + "Content-Length: 5\r\n");
    EXPECT_EQ(build(cmdPatch), "PATCH /p HTTP/1.0\r\n" + common + "Content-Length: 5\r\n");
    EXPECT_EQ(build(cmdTrace), "TRACE /p HTTP/1.0\r\n" + common + "Content-Length: 5\r\n");
    EXPECT_EQ(build(cmdPost), "POST /p HTTP/1.0\r\n" + common + "Content-Length: 5\r\n");
    h.LinkArgument = "/target";
    EXPECT_EQ(build(cmdCopy), "COPY /p HTTP/1.0\r\n" + common + "URI-header: /target\r\n");
    EXPECT_EQ(build(cmdMove), "MOVE /p HTTP/1.0\r\n" + common + "URI-header: /target\r\n");
    h.SendData = "Send.dat";
    EXPECT_EQ(build(cmdLink), "LINK /p HTTP/1.0\r\n" + common + "Link: /target\r\nContent-Length: 8\r\n");
    EXPECT_EQ(build(cmdUnlink), "UNLINK /p HTTP/1.0\r\n" + common + "Link: /target\r\nContent-Length: 8\r\n");

    // Optional values, each on its line, before the content type.
    h.HeaderInfo.LocalProgram = "QB/1";
    h.HeaderInfo.LocalMailAddress = "me@here";
    h.HeaderInfo.Cookie = "a=1";
    h.HeaderInfo.Referer = "http://r/";
    h.HeaderInfo.UserId = "user";
    h.HeaderInfo.Password = "pass";
    EXPECT_EQ(build(cmdGet), "GET /p HTTP/1.0\r\nHost: h\r\n" + kAccept1 + kAccept2 +
                                 "User-Agent: QB/1\r\nFrom: me@here\r\nCookie: a=1\r\nReferer: http://r/\r\n"
                                 "Authorization: Basic dXNlcjpwYXNz\r\n" +
                                 kContentType);

    // Credentials longer than one encoder line stay on one header line.
    h.HeaderInfo = {};
    h.HeaderInfo.UserId = std::string(40, 'u');
    h.HeaderInfo.Password = std::string(30, 'p');
    build(cmdGet);
    const std::string plain = h.HeaderInfo.UserId + ":" + h.HeaderInfo.Password;
    const std::string expected = QByteArray::fromStdString(plain).toBase64().toStdString();
    EXPECT_EQ(h.RequestLines[4], "Authorization: Basic " + expected);
    EXPECT_EQ(h.RequestLines.Count(), 6);

    // Only a user name, no password: no Authorization line.
    h.HeaderInfo.Password.clear();
    EXPECT_EQ(h.RequestLines.IndexOfHeader("Authorization"), 4);
    build(cmdGet);
    EXPECT_EQ(h.RequestLines.IndexOfHeader("Authorization"), -1);

    // Through a proxy: the whole URL, a keep-alive line, and the Host line in place.
    h.Proxy = "proxy";
    EXPECT_EQ(build(cmdGet), "GET http://h/p HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\nHost: h\r\n" + kAccept1 +
                                 kAccept2 + kContentType);
}

TEST(HttpRequest, QuoteRoadPutsExactlyTheFiveLinesOnTheWire) {
    const std::string page = "<html>\r\n<td>2330</td>\r\n</html>\r\n";
    LoopbackServer server(Answer("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n" + page));
    auto* http = new TKesHTTP(nullptr);
    http->TimeOut = 15000;
    http->MaxBodyLength = 1 << 20;
    std::vector<std::string> trace;
    std::vector<CmdType> succeeded;
    http->ReportLevel = 2;
    http->OnStatus = [&](QObject*, const std::string& s) { trace.push_back(s); };
    http->OnSuccess = [&](QObject*, CmdType cmd) { succeeded.push_back(cmd); };
    http->Get(Base(server.Port()) + "/q/q?s=2330");
    std::string body = http->Body;
    http->Disconnect();
    EXPECT_EQ(body, page);
    EXPECT_EQ(http->Header, "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n");
    EXPECT_EQ(http->ReplyCode, 200);
    EXPECT_FALSE(http->Connected);
    EXPECT_EQ(trace, std::vector<std::string>{"Transaction Completed"});
    EXPECT_EQ(succeeded, std::vector<CmdType>{cmdGet});
    http->OnStatus = nullptr;
    delete http;

    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0],
              "GET /q/q?s=2330 HTTP/1.0\r\nHost: 127.0.0.1\r\n" + kAccept1 + kAccept2 + kContentType + "\r\n");
}

TEST(HttpRequest, BodiesOfPostPutAndFiles) {
    LoopbackServer server(Answer("HTTP/1.0 201 Created\r\n\r\nok"));
    testsupport::TempDir dir;
    testsupport::WorkingDir cwd(dir.path());
    TKesHTTP h;
    h.Post(Base(server.Port()) + "/form", "a=b&c d");
    h.Put(Base(server.Port()) + "/raw", "a=b");
    testsupport::WriteFileBytes("upload.bin", "file bytes\r\n");
    h.OutputFileMode = true;
    h.InputFileMode = true;
    h.Header = "Head.txt";  // the string mode left the last header text here
    h.Body = "Default.htm";
    h.Put(Base(server.Port()) + "/file", "upload.bin");
    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    const std::string common = "Host: 127.0.0.1\r\n" + kAccept1 + kAccept2 + kContentType;
    EXPECT_EQ(requests[0], "POST /form HTTP/1.0\r\n" + common + "Content-Length: 11\r\n\r\na%3Db%26c+d");
    EXPECT_EQ(requests[1], "PUT /raw HTTP/1.0\r\n" + common + "Content-Length: 3\r\n\r\na=b");
    EXPECT_EQ(requests[2], "PUT /file HTTP/1.0\r\n" + common + "Content-Length: 12\r\n\r\nfile bytes\r\n");
    // The file modes put the header and the body into their files; the names stay.
    EXPECT_EQ(h.Body, "Default.htm");
    EXPECT_EQ(h.Header, "Head.txt");
    EXPECT_EQ(testsupport::ReadFileBytes("Default.htm"), "ok");
    EXPECT_EQ(testsupport::ReadFileBytes("Head.txt"), "HTTP/1.0 201 Created\r\n\r\n");
}

TEST(HttpRequest, ControlCharactersAreRefusedBeforeConnecting) {
    LoopbackServer server(Answer("HTTP/1.0 200 OK\r\n\r\n"));
    TKesHTTP h;
    EXPECT_EQ(MessageOf<Exception>([&] { h.Get(Base(server.Port()) + "/x\r\nX-Evil: 1"); }),
              "Invalid character in URL");
    EXPECT_EQ(MessageOf<Exception>([&] { h.Get(Base(server.Port()) + std::string("/x\0y", 4)); }),
              "Invalid character in URL");
    h.HeaderInfo.Cookie = "a=1\nX-Evil: 1";
    EXPECT_EQ(MessageOf<Exception>([&] { h.Get(Base(server.Port()) + "/"); }), "Invalid character in header value");
    h.HeaderInfo.Cookie.clear();
    h.HeaderInfo.Referer = std::string("r\0", 2);
    EXPECT_EQ(MessageOf<Exception>([&] { h.Get(Base(server.Port()) + "/"); }), "Invalid character in header value");
    h.HeaderInfo.Referer.clear();
    EXPECT_EQ(MessageOf<Exception>([&] { h.Get("https://127.0.0.1:" + std::to_string(server.Port()) + "/"); }),
              "HTTP Secure Socket is not supported");
    EXPECT_EQ(server.Accepted(), 0);
}

TEST(HttpResponse, StatusHeaderValuesAndOddResponses) {
    const std::string longCookie(300, 'c');
    LoopbackServer server([&](Conn& c) {
        c.ReadRequest();
        switch (c.index) {
        case 0:  // in pieces, with values to keep
            c.Send("HTTP/1.0 20");
            c.Pause(20);
            c.Send("0 OK\r\nset-cookie: " + longCookie + "\r\nContent-Length:  x42y\r\n");
            c.Pause(20);
            c.Send("Location: /next\nX: y\r\n\r\nbody");
            break;
        case 1:  // closes at once
            break;
        case 2:  // a code with no text after it
            c.Send("HTTP/1.0 200\r\n\r\nbody");
            break;
        case 3:  // a header line longer than the buffer
            c.Send("HTTP/1.0 200 OK\r\nX: " + std::string(70000, 'h') + "\r\n\r\n");
            c.WaitClosed();
            break;
        case 4:  // an error page
            c.Send("HTTP/1.0 404 Not Found\r\n\r\n<h1>missing</h1>");
            break;
        case 5:
            c.Send("HTTP/1.0 401 Unauthorized\r\n\r\nwho?");
            break;
        }
    });
    TKesHTTP h;
    const std::string url = Base(server.Port()) + "/";
    h.Get(url);
    EXPECT_EQ(h.ReplyCode, 200);
    EXPECT_EQ(h.CookieReceived, longCookie.substr(0, 256));
    EXPECT_EQ(h.ExpectedLength, 42);
    EXPECT_EQ(h.Location, "/next");
    EXPECT_EQ(h.Body, "body");
    EXPECT_TRUE(h.Header.starts_with("HTTP/1.0 200 OK\r\nset-cookie: ")) << h.Header;
    EXPECT_TRUE(h.Header.ends_with("Location: /next\nX: y\r\n\r\n")) << h.Header;

    int successes = 0, failures = 0, authentications = 0;
    h.OnSuccess = [&](QObject*, CmdType) { ++successes; };
    h.OnFailure = [&](QObject*, CmdType cmd) {
        EXPECT_EQ(cmd, cmdGet);
        ++failures;
    };
    h.OnAuthenticationNeeded = [&](QObject*) { ++authentications; };
    h.Get(url);  // no status line: status 0, a success with nothing in it
    EXPECT_EQ(h.ReplyCode, 0);
    EXPECT_EQ(h.Header, "");
    EXPECT_EQ(h.Body, "");
    EXPECT_EQ(successes, 1);

    h.Get(url);
    EXPECT_EQ(h.ReplyCode, 0);
    EXPECT_EQ(h.Body, "body");

    EXPECT_EQ(MessageOf<ESockError>([&] { h.Get(url); }), "Line too long");
    EXPECT_FALSE(h.Connected);

    h.Get(url);
    EXPECT_EQ(h.ReplyCode, 404);
    EXPECT_EQ(h.Body, "<h1>missing</h1>");
    EXPECT_EQ(failures, 1);

    h.Get(url);
    EXPECT_EQ(h.ReplyCode, 401);
    EXPECT_EQ(failures, 2);
    EXPECT_EQ(authentications, 1);
}

TEST(HttpResponse, FailuresRaiseAfterDisconnecting) {
    LoopbackServer server([](Conn& c) {
        c.ReadRequest();
        if (c.index == 0) {  // silent
            c.WaitClosed();
            return;
        }
        // A body much longer than the caller accepts.
        c.Send("HTTP/1.0 200 OK\r\n\r\n");
        std::string chunk(64 * 1024, 'z');
        for (int i = 0; i < 64 && c.Send(chunk); ++i) {}
    });
    TKesHTTP h;
    h.TimeOut = 300;
    int disconnects = 0;
    h.OnDisconnect = [&](QObject*) { ++disconnects; };
    EXPECT_EQ(MessageOf<EAbortError>([&] { h.Get(Base(server.Port()) + "/"); }), "Socket readln aborted");
    EXPECT_FALSE(h.Connected);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(h.Body, "Default.htm");  // the capture never started

    h.MaxBodyLength = 100000;
    EXPECT_EQ(MessageOf<ESockError>([&] { h.Get(Base(server.Port()) + "/"); }), "Body too long");
    EXPECT_FALSE(h.Connected);
    EXPECT_TRUE(h.Body.empty());

    nettest::RefusedPort refused;
    EXPECT_EQ(MessageOf<ESockError>([&] { h.Get(Base(refused.Port()) + "/"); }), "Connection Failed");
    TKesHTTP fresh;  // no host yet, and a path-only URL names none
    EXPECT_EQ(MessageOf<ESockError>([&] { fresh.Get("/x"); }), "Null Remote Address");
    EXPECT_EQ(fresh.Body, "Default.htm");
    EXPECT_EQ(fresh.Header, "Head.txt");
}

TEST(HttpRedirect, FollowsCarriesCookiesAndStops) {
    LoopbackServer second([](Conn& c) {
        std::string request = c.ReadRequest();
        c.Send("HTTP/1.0 200 OK\r\n\r\nsecond:" +
               std::to_string(request.find("Cookie: sid=7\r\n") != std::string::npos));
    });
    const std::string target = Base(second.Port()) + "/t";
    LoopbackServer first([&](Conn& c) {
        c.ReadRequest();
        switch (c.index) {
        case 0:
        case 1:
            c.Send("HTTP/1.0 302 Found\r\nSet-Cookie: sid=7\r\nLocation: " + target + "\r\n\r\nmoved");
            break;
        case 2:
            c.Send("HTTP/1.0 303 See Other\r\nLocation: /elsewhere\r\n\r\nsee other");
            break;
        case 3:
            c.Send("HTTP/1.0 302 Found\r\nLocation: next.htm\r\n\r\n");
            break;
        default:  // redirects to itself, for ever
            c.Send("HTTP/1.0 302 Found\r\nLocation: /loop\r\n\r\nloop " + std::to_string(c.index));
            break;
        }
    });
    TKesHTTP h;
    int redirects = 0;
    h.OnRedirect = [&](QObject*, bool&) { ++redirects; };
    h.Get(Base(first.Port()) + "/start");
    EXPECT_EQ(h.Body, "second:1");
    EXPECT_EQ(h.Port, second.Port());
    EXPECT_EQ(h.HeaderInfo.Cookie, "sid=7");
    EXPECT_EQ(redirects, 1);

    // The handler stops the request after the first pass.
    h.OnRedirect = [&](QObject*, bool& handled) { handled = true; };
    h.Get(Base(first.Port()) + "/start");
    EXPECT_EQ(h.ReplyCode, 302);
    EXPECT_EQ(h.Body, "moved");
    h.OnRedirect = nullptr;

    // A 303 would ask for the same URL again: the request ends with its page.
    h.Get(Base(first.Port()) + "/start");
    EXPECT_EQ(h.ReplyCode, 303);
    EXPECT_EQ(h.Body, "see other");

    // A location without a slash is asked for on the same host, at the default port.
    std::string nextUrl;
    h.OnAboutToSend = [&](QObject*) {
        if (h.URL != Base(first.Port()) + "/start") {
            nextUrl = h.URL;
            throw StopHere{};
        }
    };
    EXPECT_THROW(h.Get(Base(first.Port()) + "/start"), StopHere);
    EXPECT_EQ(nextUrl, "http://127.0.0.1/next.htm");
    h.OnAboutToSend = nullptr;

    // Endless redirects end after the bounded number of passes, with the last page.
    int before = first.Accepted();
    h.Get(Base(first.Port()) + "/loop");
    EXPECT_EQ(first.Accepted() - before, TKesHTTP::MaxPasses);
    EXPECT_EQ(h.ReplyCode, 302);
    EXPECT_EQ(h.Body, "loop " + std::to_string(first.Accepted() - 1));
}

// Against nginx: a Big5 page announced with Content-Length, a 404, redirects (absolute to a
// second port, relative, without a slash, with a cookie).
class HttpNginx : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Server = new nettest::NginxServer(
            "    location = /q/q { default_type text/html; try_files /quote.htm =404; }\n"
            "    location = /abs { return 302 http://127.0.0.1:@SECOND_PORT@/second.htm; }\n"
            "    location = /rel { return 302 /page.htm; }\n"
            "    location = /noslash { return 302 page.htm; }\n"
            "    location = /cookie { add_header Set-Cookie \"sid=nginx42\" always; return 302 /echo-cookie; }\n"
            "    location = /echo-cookie { default_type text/plain; return 200 \"cookie=$http_cookie\"; }\n");
        // A Big5 quote page: "台積電" and a full-width space among ASCII table text.
        QuotePage = "<html><body><table>\r\n<tr><td>2330 \xA5\x78\xBF\x6E\xB9\x71</td><td>\xA1\x40</td>"
                    "<td>612.00</td></tr>\r\n</table>\r\n";
        while (QuotePage.size() < 30000) QuotePage += "<!-- \xB3\xF8\xBB\xF9 padding padding padding -->\r\n";
        QuotePage += "</body></html>\r\n";
        testsupport::WriteFileBytes(Server->Root() + "/quote.htm", QuotePage);
        testsupport::WriteFileBytes(Server->Root() + "/page.htm", "relative page\n");
        testsupport::WriteFileBytes(Server->SecondRoot() + "/second.htm", "second server\n");
    }
    static void TearDownTestSuite() {
        delete Server;
        Server = nullptr;
    }
    std::string Url(const std::string& path) const { return Base(Server->Port()) + path; }

    static nettest::NginxServer* Server;
    static std::string QuotePage;
};
nettest::NginxServer* HttpNginx::Server = nullptr;
std::string HttpNginx::QuotePage;

TEST_F(HttpNginx, QuotePageAndErrorPage) {
    ASSERT_NE(Server, nullptr);
    auto* http = new TKesHTTP(nullptr);
    http->Get(Url("/q/q?s=2330"));
    std::string body = http->Body;
    http->Disconnect();
    EXPECT_EQ(http->ReplyCode, 200);
    EXPECT_EQ(body, QuotePage);
    EXPECT_EQ(http->ExpectedLength, static_cast<long long>(QuotePage.size()));
    EXPECT_NE(http->Header.find("Content-Length: " + std::to_string(QuotePage.size()) + "\r\n"), std::string::npos);
    EXPECT_TRUE(http->Header.ends_with("\r\n\r\n"));

    std::vector<CmdType> failed;
    http->OnFailure = [&](QObject*, CmdType cmd) { failed.push_back(cmd); };
    http->Get(Url("/missing.htm"));
    EXPECT_EQ(http->ReplyCode, 404);
    EXPECT_NE(http->Body.find("404 Not Found"), std::string::npos);
    EXPECT_EQ(failed, std::vector<CmdType>{cmdGet});
    http->Disconnect();
    delete http;
}

TEST_F(HttpNginx, Redirects) {
    ASSERT_NE(Server, nullptr);
    TKesHTTP h;
    h.Get(Url("/abs"));
    EXPECT_EQ(h.ReplyCode, 200);
    EXPECT_EQ(h.Body, "second server\n");
    EXPECT_EQ(h.Port, Server->SecondPort());

    h.Get(Url("/rel"));
    EXPECT_EQ(h.Body, "relative page\n");
    EXPECT_EQ(h.Port, Server->Port());

    h.Get(Url("/cookie"));
    EXPECT_EQ(h.Body, "cookie=sid=nginx42");
    EXPECT_EQ(h.HeaderInfo.Cookie, "sid=nginx42");

    // Without a slash the location is taken on the same host at the default port; stop there.
    std::string redirectedTo;
    h.OnRedirect = [&](QObject*, bool& handled) {
        redirectedTo = h.URL;
        handled = true;
    };
    h.Get(Url("/noslash"));
    EXPECT_EQ(h.ReplyCode, 302);
    EXPECT_EQ(h.Location, "page.htm");
    EXPECT_EQ(redirectedTo, "page.htm");
}

// Servers that trickle, never end their header, or keep the connection open.
TEST(HttpHostile, OneDeadlineBoundsTheWholeRequest) {
    // A header line every 100 ms for ever: each line comes well within the time-out.
    LoopbackServer trickle([](Conn& c) {
        c.ReadRequest();
        c.Send("HTTP/1.0 200 OK\r\n");
        for (int i = 0; c.Send("X-Line: " + std::to_string(i) + "\r\n"); ++i) c.Pause(100);
    });
    TKesHTTP h;
    h.TimeOut = 300;
    h.RequestTimeOut = 600;
    try {
        h.Get(Base(trickle.Port()) + "/");
        ADD_FAILURE() << "no time-out";
    } catch (const EAbortError& e) {
        EXPECT_EQ(e.Message(), "Socket readln aborted");
        EXPECT_EQ(e.ErrorNo(), SockErrTimedOut);
    }
    EXPECT_TRUE(h.TimedOut);
    EXPECT_FALSE(h.Connected);
    EXPECT_LT(std::count(h.Header.begin(), h.Header.end(), '\n'), 15);  // not cut per line

    // A redirect to itself after 250 ms, each pass well within the time-out: the deadline
    // counts all passes together.
    LoopbackServer loop([](Conn& c) {
        c.ReadRequest();
        c.Pause(250);
        c.Send("HTTP/1.0 302 Found\r\nLocation: /again\r\n\r\n");
    });
    EXPECT_EQ(MessageOf<EAbortError>([&] { h.Get(Base(loop.Port()) + "/"); }), "Socket readln aborted");
    EXPECT_LE(loop.Accepted(), 3);
    // The deadline belongs to one request: the next one has its own.
    LoopbackServer quick(Answer("HTTP/1.0 200 OK\r\n\r\nfine"));
    h.Get(Base(quick.Port()) + "/");
    EXPECT_EQ(h.Body, "fine");
}

TEST(HttpHostile, AnEndlessHeaderIsRefused) {
    LoopbackServer server([](Conn& c) {
        c.ReadRequest();
        c.Send("HTTP/1.0 200 OK\r\n");
        const std::string line = c.index == 0 ? "X: y\r\n" : "X: " + std::string(4000, 'v') + "\r\n";
        while (c.Send(line)) {}
    });
    TKesHTTP h;
    h.TimeOut = 5000;
    EXPECT_EQ(MessageOf<ESockError>([&] { h.Get(Base(server.Port()) + "/"); }), "Header too long");  // lines
    EXPECT_LE(h.Header.size(), TKesHTTP::MaxHeaderBytes);
    EXPECT_EQ(MessageOf<ESockError>([&] { h.Get(Base(server.Port()) + "/"); }), "Header too long");  // bytes
    EXPECT_LE(h.Header.size(), TKesHTTP::MaxHeaderBytes);
    EXPECT_FALSE(h.Connected);
}

TEST(HttpHostile, BodiesGoOutAndComeInByTheirLength) {
    // The server reads exactly the announced body, answers with a length, and keeps the
    // connection open as a keep-alive server or proxy does.
    LoopbackServer server([](Conn& c) {
        std::string request = c.ReadRequest();
        std::string body = request.substr(request.find("\r\n\r\n") + 4);
        c.Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size() + 2) + "\r\n\r\n[" + body +
               "]trailing bytes");
        c.WaitClosed();
    });
    TKesHTTP h;
    h.TimeOut = 3000;
    const std::string data("a\0b\0c", 5);
    h.Put(Base(server.Port()) + "/", data);
    EXPECT_EQ(h.Body, "[" + data + "]");
    h.Patch(Base(server.Port()) + "/", data);
    EXPECT_EQ(h.Body, "[" + data + "]");
    h.Trace(Base(server.Port()) + "/", data);
    EXPECT_EQ(h.Body, "[" + data + "]");
    h.EncodePostData = false;
    h.Post(Base(server.Port()) + "/", data);
    EXPECT_EQ(h.Body, "[" + data + "]");
    EXPECT_FALSE(h.TimedOut);
    // A HEAD answer carries no body, whatever its header announces.
    h.Head(Base(server.Port()) + "/");
    EXPECT_EQ(h.Body, "");
    EXPECT_FALSE(h.TimedOut);
    // An announced length above the limit is refused before the body is read.
    h.MaxBodyLength = 1;
    EXPECT_EQ(MessageOf<ESockError>([&] { h.Put(Base(server.Port()) + "/", "xyz"); }), "Body too long");
}

TEST(HttpHostile, DestroyedFromAHandlerDuringTheRequest) {
    LoopbackServer server([](Conn& c) {
        c.ReadRequest();
        c.Send("HTTP/1.0 200 OK\r\n\r\nfirst part");
        c.WaitClosed();
    });
    for (bool fromTimer : {true, false}) {
        QPointer<TKesHTTP> h = new TKesHTTP;
        h->TimeOut = 5000;
        if (fromTimer)
            QTimer::singleShot(100, [&] { delete h.data(); });
        else
            h->OnPacketRecvd = [&](QObject*) { delete h.data(); };
        EXPECT_THROW(h->Get(Base(server.Port()) + "/"), EAbortError);
        EXPECT_TRUE(h.isNull());
    }
}
