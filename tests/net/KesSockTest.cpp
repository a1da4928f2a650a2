#include "net/KesSock.h"
#include "net/KesHttp.h"
#include "net/SocketOps.h"

#include "support/LoopbackServer.h"
#include "support/TempDir.h"
#include "ui/core/Application.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using nettest::LoopbackServer;
using nettest::MessageOf;
using Conn = LoopbackServer::Conn;

namespace {

// A component pointed at a loopback port, with a short time-out by default.
std::unique_ptr<TKesSock> SockTo(int port, int timeOut = 2000) {
    auto s = std::make_unique<TKesSock>();
    s->Host = "127.0.0.1";
    s->Port = port;
    s->TimeOut = timeOut;
    return s;
}

// Runs the event loop until the condition holds or the limit passes.
template <class F>
bool PumpUntil(F cond, int limitMs = 2000) {
    QElapsedTimer t;
    t.start();
    while (!cond() && t.elapsed() < limitMs) ui::WaitMessage(20);
    return cond();
}

// Answers each line it receives with "200 " and the line, until the peer closes.
void Echo(Conn& c) {
    std::string pending;
    while (true) {
        std::string got = c.ReadBytes(1);
        if (got.empty()) return;
        pending += got;
        if (got == "\n") {
            c.Send("200 " + pending);
            pending.clear();
        }
    }
}

}  // namespace

TEST(SockHelpers, NthFieldAndNthCharPos) {
    EXPECT_EQ(NthField("http://host:81/a/b", '/', 3), "host:81");
    EXPECT_EQ(NthField("a,,c", ',', 2), "");
    EXPECT_EQ(NthField("a,,c", ',', 3), "c");
    EXPECT_EQ(NthField("a,b", ',', 3), "");
    EXPECT_EQ(NthField("", ',', 1), "");
    EXPECT_EQ(NthField("abc", ',', 1), "abc");
    EXPECT_EQ(NthCharPos("http://h/x", '/', 3), 9u);
    EXPECT_EQ(NthCharPos("http://h", '/', 3), 9u);  // length plus 1
    EXPECT_EQ(NthCharPos("", '/', 1), 1u);
}

TEST(SockErrors, TableTextsAndTranslation) {
    TKesSock s;
    EXPECT_EQ(s.ErrorMessage(10061), "10061:Connection refused");
    EXPECT_EQ(s.ErrorMessage(10065), "10065:No route to Host");
    EXPECT_EQ(s.ErrorMessage(11004), "11004:Valid name, no data record of requested type");
    EXPECT_EQ(s.ErrorMessage(0), "Unknown Error No. 0");
    EXPECT_EQ(s.ErrorMessage(10001), "Unknown Error No. 10001");

    // CheckSocketError raises for an unexpected number above 10000 only, and tells OnSocketError.
    int reported = 0;
    s.OnSocketError = [&](QObject*, unsigned short no, const std::string& text) {
        reported = no;
        EXPECT_EQ(text, "10061:Connection refused");
    };
    sockops::SetLastError(10061);
    EXPECT_EQ(MessageOf<ESockError>([&] { s.CheckSocketError(10035); }), "10061:Connection refused");
    EXPECT_EQ(reported, 10061);
    EXPECT_EQ(s.LastErrorNo, 10061);
    sockops::SetLastError(10035);
    EXPECT_EQ(s.CheckSocketError(10035), "");
    sockops::SetLastError(5);
    EXPECT_EQ(s.CheckSocketError(10035), "");
    sockops::SetLastError(0);
}

// The short wait of a read blocks the socket for its own call only, and reports as a
// non-blocking receive does.
TEST(SockOps, AWaitingReceiveLeavesTheSocketNonBlocking) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    char buf[16];
    EXPECT_EQ(sockops::RecvWaiting(fds[0], buf, sizeof buf, 5), -1);  // nothing comes
    EXPECT_EQ(sockops::LastError(), SockErrWouldBlock);
    EXPECT_NE(::fcntl(fds[0], F_GETFL) & O_NONBLOCK, 0);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(::send(fds[1], "abc", 3, 0), 3);
    });
    EXPECT_EQ(sockops::RecvWaiting(fds[0], buf, sizeof buf, 5000), 3);  // comes within the wait
    late.join();
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_NE(::fcntl(fds[0], F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(sockops::Recv(fds[0], buf, sizeof buf, false), -1);  // and a plain receive still does not wait
    ::close(fds[1]);
    EXPECT_EQ(sockops::RecvWaiting(fds[0], buf, sizeof buf, 5000), 0);  // the end of the stream
    ::close(fds[0]);
    EXPECT_EQ(sockops::RecvWaiting(fds[0], buf, sizeof buf, 5), -1);
    EXPECT_EQ(sockops::LastError(), 10009);  // a closed descriptor
}

// A connected socket's mode is set once for the quick wait: only the waiting receive waits (up
// to the time-out), while sends and plain or peeking receives still return at once.
TEST(SockOps, ASocketSetOnceForQuickWaitsWaitsOnlyInTheWaitingReceive) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    ASSERT_EQ(sockops::SetQuickWait(fds[0], 3000), 0);
    EXPECT_EQ(::fcntl(fds[0], F_GETFL) & O_NONBLOCK, 0);
    char buf[16];
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(sockops::Recv(fds[0], buf, sizeof buf, false), -1);
    EXPECT_EQ(sockops::LastError(), SockErrWouldBlock);
    EXPECT_EQ(sockops::Recv(fds[0], buf, 1, true), -1);
    EXPECT_EQ(sockops::LastError(), SockErrWouldBlock);
    // A full socket refuses more instead of waiting for room.
    const std::string chunk(65536, 'x');
    ssize_t sent = 0;
    for (int i = 0; i < 1000 && sent >= 0; ++i) sent = sockops::Send(fds[0], chunk.data(), chunk.size());
    EXPECT_EQ(sent, -1);
    EXPECT_EQ(sockops::LastError(), SockErrWouldBlock);
    EXPECT_LT(clock.elapsed(), 2500);  // none of them waited out the time-out

    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(::send(fds[1], "abc", 3, 0), 3);
    });
    EXPECT_EQ(sockops::RecvQuick(fds[0], buf, sizeof buf), 3);  // comes within the wait
    late.join();
    EXPECT_EQ(std::string(buf, 3), "abc");
    ::shutdown(fds[1], SHUT_WR);
    EXPECT_EQ(sockops::RecvQuick(fds[0], buf, sizeof buf), 0);  // the end of the stream
    ::close(fds[0]);
    ::close(fds[1]);

    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    ASSERT_EQ(sockops::SetQuickWait(fds[0], 5), 0);
    EXPECT_EQ(sockops::RecvQuick(fds[0], buf, sizeof buf), -1);  // nothing comes
    EXPECT_EQ(sockops::LastError(), SockErrWouldBlock);
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_EQ(sockops::SetQuickWait(fds[0], 5), -1);  // a closed descriptor
    EXPECT_EQ(sockops::LastError(), 10009);
}

TEST(SockTimer, RefusesAnIntervalItCannotArm) {
    TThreadTimer t;
    t.SetOnTimer([](QObject*) {});
    EXPECT_EQ(MessageOf<Exception>([&] { t.SetInterval(0x80000000u); }), "No Timer");
    EXPECT_FALSE(t.Active());
}

TEST(SockConnect, ConnectTalkDisconnectAndConnectAgain) {
    LoopbackServer server(Echo);
    auto s = SockTo(server.Port());
    int connects = 0, disconnects = 0, resolved = 0;
    s->OnConnect = [&](QObject*) { ++connects; };
    s->OnDisconnect = [&](QObject*) { ++disconnects; };
    s->OnHostResolved = [&](QObject*) { ++resolved; };

    s->Connect();
    EXPECT_TRUE(s->Connected);
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(resolved, 0);  // a dotted address needs no lookup
    EXPECT_EQ(MessageOf<ESockError>([&] { s->Connect(); }), "Already connected");

    EXPECT_EQ(s->Transaction("HELLO"), "200 HELLO\r\n");
    EXPECT_EQ(s->ReplyCode, 200);
    EXPECT_EQ(s->LastReply, "200 HELLO\r\n");

    s->Disconnect();
    EXPECT_FALSE(s->Connected);
    EXPECT_EQ(disconnects, 1);

    s->Connect();
    EXPECT_EQ(connects, 2);
    EXPECT_EQ(s->Transaction("AGAIN"), "200 AGAIN\r\n");
    s->Disconnect();
    EXPECT_EQ(disconnects, 2);
    EXPECT_EQ(server.Accepted(), 2);
}

TEST(SockConnect, LookupOfNamesAndInvalidHosts) {
    LoopbackServer server(Echo);
    // A name is looked up and reported.
    {
        auto s = SockTo(server.Port());
        s->Host = "localhost";
        int resolved = 0;
        s->OnHostResolved = [&](QObject*) { ++resolved; };
        s->Connect();
        EXPECT_EQ(resolved, 1);
        EXPECT_EQ(s->RemoteAddress, sockops::InetAddr("127.0.0.1"));
        s->Disconnect();
    }
    // "255.255.255.255" is the "no address" value, so it is looked up as a name.
    EXPECT_EQ(sockops::InetAddr("255.255.255.255"), 0xFFFFFFFFu);

    // A host that does not resolve, with no handler: "Null Remote Address".
    {
        auto s = SockTo(server.Port());
        s->Host = "";
        EXPECT_EQ(MessageOf<ESockError>([&] { s->Connect(); }), "Null Remote Address");
        EXPECT_FALSE(s->Connected);
    }
    // A handler that corrects the host gets the connection.
    {
        auto s = SockTo(server.Port());
        s->Host = "";
        int calls = 0;
        s->OnInvalidHost = [&](QObject*, bool& handled) {
            ++calls;
            s->Host = "127.0.0.1";
            handled = true;
        };
        s->Connect();
        EXPECT_TRUE(s->Connected);
        EXPECT_EQ(calls, 1);
    }
    // A handler gets exactly one more lookup; not handling it raises at once.
    for (bool handle : {true, false}) {
        auto s = SockTo(server.Port());
        s->Host = "";
        int calls = 0;
        s->OnInvalidHost = [&](QObject*, bool& handled) {
            ++calls;
            handled = handle;
        };
        EXPECT_EQ(MessageOf<ESockError>([&] { s->Connect(); }), "Null Remote Address");
        EXPECT_EQ(calls, 1);
    }
}

TEST(SockConnect, RefusedTimedOutAndCanceled) {
    {
        nettest::RefusedPort refused;
        auto s = SockTo(refused.Port());
        std::vector<std::string> order;
        s->OnConnectionFailed = [&](QObject*) { order.push_back("failed event"); };
        try {
            s->Connect();
        } catch (const ESockError& e) {
            order.push_back(e.Message());
        }
        EXPECT_EQ(order, (std::vector<std::string>{"failed event", "Connection Failed"}));
        EXPECT_EQ(s->LastErrorNo, 10061);
        // The component stays usable.
        LoopbackServer server(Echo);
        s->Port = server.Port();
        s->Disconnect();
        s->Connect();
        EXPECT_TRUE(s->Connected);
    }
    nettest::UnansweredPort silent;
    {
        auto s = SockTo(silent.Port(), 200);
        QElapsedTimer t;
        t.start();
        EXPECT_EQ(MessageOf<ESockError>([&] { s->Connect(); }), "Connection Timed out");
        EXPECT_GE(t.elapsed(), 150);
        EXPECT_LT(t.elapsed(), 5000);
        EXPECT_TRUE(s->TimedOut);
    }
    {
        auto s = SockTo(silent.Port(), 0);
        QTimer::singleShot(100, s.get(), [&] { s->Abort(); });
        EXPECT_EQ(MessageOf<ESockError>([&] { s->Connect(); }), "Connection Canceled");
    }
}

TEST(SockReadLn, LinesTerminatorsSegmentsAndClose) {
    LoopbackServer server([](Conn& c) {
        switch (c.index) {
        case 0:  // two lines in one segment, then an LF-only line
            c.Send("HTTP/1.0 200 OK\r\nNext: 1\r\nlast\n");
            c.WaitClosed();
            break;
        case 1:  // one line in pieces
            c.Send("HT");
            c.Pause(30);
            c.Send("TP/1.0 ");
            c.Pause(30);
            c.Send("404 Not Found\r");
            c.Pause(30);
            c.Send("\ntail");
            break;  // closes before the second line's line feed
        case 2:     // closes at once
            break;
        }
    });
    auto s = SockTo(server.Port());
    s->Connect();
    EXPECT_EQ(s->ReadLn(), "HTTP/1.0 200 OK\r\n");
    EXPECT_TRUE(s->DataAvailable());  // the next line is still in the socket
    EXPECT_EQ(s->ReadLn(), "Next: 1\r\n");
    EXPECT_EQ(s->ReadLn(), "last\n");
    s->Disconnect();

    s->Connect();
    EXPECT_EQ(s->ReadLn(), "HTTP/1.0 404 Not Found\r\n");
    EXPECT_EQ(s->ReadLn(), "");  // "tail" and then the close
    s->Disconnect();

    s->Connect();
    EXPECT_EQ(s->ReadLn(), "");
    EXPECT_EQ(s->ReadLn(), "");  // and again, once the close was seen
    s->Disconnect();
}

// The connection's socket gets its mode once, when it is made: reads that wait (here for lines
// that come in pieces) leave it as it was, and the next connection's socket gets it again.
TEST(SockReadLn, AConnectionSetsItsSocketsModeOnce) {
    LoopbackServer server([](Conn& c) {
        c.Send("HT");
        c.Pause(30);
        c.Send("TP/1.0 200 OK\r\n");
        c.Pause(30);
        c.Send("last\n");
        c.WaitClosed();
    });
    auto s = SockTo(server.Port());
    for (int round = 0; round < 2; ++round) {
        s->Connect();
        const int mode = ::fcntl(s->SocketHandle, F_GETFL);
        EXPECT_EQ(mode & O_NONBLOCK, 0) << round;  // waits block in the receive itself
        EXPECT_EQ(s->ReadLn(), "HTTP/1.0 200 OK\r\n");
        EXPECT_EQ(s->ReadLn(), "last\n");
        EXPECT_EQ(::fcntl(s->SocketHandle, F_GETFL), mode) << round;
        s->Disconnect();
    }
}

TEST(SockReadLn, OverlongLineRaisesAndTimeOutAborts) {
    LoopbackServer server([](Conn& c) {
        if (c.index == 0) c.Send(std::string(70000, 'x') + "\r\n");
        c.WaitClosed();
    });
    auto s = SockTo(server.Port(), 300);
    s->Connect();
    EXPECT_EQ(MessageOf<ESockError>([&] { s->ReadLn(); }), "Line too long");
    // The rest of the stream is still readable after the refusal.
    EXPECT_EQ(s->ReadLn(), std::string(70000 - TKesSock::BufferSize, 'x') + "\r\n");
    s->Disconnect();

    // A silent server: the time-out ends the read, as an abort.
    s->Connect();
    QElapsedTimer t;
    t.start();
    try {
        s->ReadLn();
        FAIL() << "no exception";
    } catch (const EAbortError& e) {
        EXPECT_EQ(e.Message(), "Socket readln aborted");
    }
    EXPECT_GE(t.elapsed(), 250);
    EXPECT_LT(t.elapsed(), 5000);
    EXPECT_TRUE(s->TimedOut);
    EXPECT_FALSE(s->Canceled);  // cleared by the raise
    s->Disconnect();

    // A negative time-out is refused.
    s->TimeOut = -1;
    EXPECT_THROW(s->ReadLn(), ERangeError);
}

TEST(SockCapture, UntilCloseWithLimitAndTimeOut) {
    const std::string big(100000, 'b');
    LoopbackServer server([&](Conn& c) {
        switch (c.index) {
        case 0:  // everything until the close, ending with a chunk of one byte
            c.Send(big);
            c.Pause(30);
            c.Send("!");
            break;
        case 1:  // a limit of 10: two chunks reach it; the connection stays open
            c.Send("12345");
            c.Pause(30);
            c.Send("67890abc");
            c.WaitClosed();
            break;
        case 2:  // data keep coming, slowly
            while (!c.Stopping() && c.Send("tick")) c.Pause(40);
            break;
        case 3:  // data and the close arrive while nobody reads
            c.Send("abc");
            break;
        }
    });
    auto s = SockTo(server.Port(), 300);
    int packets = 0;
    s->OnPacketRecvd = [&](QObject*) { ++packets; };

    s->Connect();
    std::string text = "old";
    s->CaptureString(text, -1);
    EXPECT_EQ(text, big + "!");
    EXPECT_EQ(s->BytesReceived, 100001);
    EXPECT_GE(packets, 2);
    s->Disconnect();

    s->Connect();
    s->CaptureString(text, 10);
    EXPECT_EQ(text, "1234567890abc");
    s->Disconnect();

    s->Connect();
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(MessageOf<EAbortError>([&] { s->CaptureString(text, -1); }), "Socket capture aborted");
    EXPECT_GE(t.elapsed(), 250);  // counted from the start, although data kept arriving
    EXPECT_LT(t.elapsed(), 5000);
    EXPECT_FALSE(text.empty());
    s->Disconnect();

    s->Connect();
    PumpUntil([] { return false; }, 100);  // the read event comes and goes; the data stay
    s->CaptureString(text, -1);
    EXPECT_EQ(text, "abc");
    s->Disconnect();
}

TEST(SockCapture, CaptureFileWritesTheStream) {
    LoopbackServer server([](Conn& c) { c.Send("file body\r\n"); });
    testsupport::TempDir dir;
    auto s = SockTo(server.Port());
    s->Connect();
    s->CaptureFile(dir.file("out.dat"));
    EXPECT_EQ(testsupport::ReadFileBytes(dir.file("out.dat")), "file body\r\n");
    EXPECT_EQ(s->BytesReceived, 11);
}

TEST(SockSend, ZeroByteLongTextsClosedPeerAndFullSocket) {
    // Bytes after a zero byte are not sent; a text much longer than the buffer goes out whole.
    {
        LoopbackServer sink([](Conn& c) { c.Send(c.ReadRequest()); });
        auto s = SockTo(sink.Port());
        s->Connect();
        s->Write(std::string("GET\0 more", 9));
        s->Write(std::string(200000, 'w'));
        s->Write("\r\n\r\n");
        std::string echoed;
        s->CaptureString(echoed);
        EXPECT_EQ(echoed, "GET" + std::string(200000, 'w') + "\r\n\r\n");
        s->Disconnect();
    }
    LoopbackServer server([](Conn& c) {
        if (c.index == 0) {
            // The peer goes away once the client is connected (it says so with one byte), so
            // the reset can never beat the connect.
            c.ReadBytes(1);
            c.Reset();
        } else {
            while (!c.Stopping()) c.Pause(20);  // never reads
        }
    });
    auto s = SockTo(server.Port(), 300);

    // Writing to a peer that has gone raises a socket error; the process lives on.
    s->Connect();
    s->Write("c");
    PumpUntil([&] { return !s->Connected; }, 1000);
    std::string failure;
    for (int i = 0; i < 50 && failure.empty(); ++i) {
        try {
            s->Write(std::string(1000, 'p'));
        } catch (const ESockError& e) {
            failure = e.Message();
        }
        ui::WaitMessage(10);
    }
    EXPECT_FALSE(failure.empty());
    s->Disconnect();

    // A peer that reads nothing: the send waits for room, and the time-out ends it.
    s->Connect();
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(MessageOf<EAbortError>([&] { s->Write(std::string(64 << 20, 'f')); }), "Socket send aborted");
    EXPECT_LT(t.elapsed(), 5000);
    s->Disconnect();
}

TEST(SockEvents, PeerCloseUiLivenessCancelAndStatusTrace) {
    LoopbackServer server([](Conn& c) {
        if (c.index == 0) return;  // closes at once
        if (c.index == 1) {
            c.WaitClosed();  // silent
            return;
        }
        Echo(c);
    });
    auto s = SockTo(server.Port(), 0);
    int disconnects = 0;
    s->OnDisconnect = [&](QObject*) { ++disconnects; };

    // The peer's close, while nobody reads, closes the component once.
    s->Connect();
    EXPECT_TRUE(PumpUntil([&] { return !s->Connected; }));
    EXPECT_EQ(disconnects, 1);

    // While a read waits, other timers keep firing; a cancel from one of them ends the read.
    s->Connect();
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    QTimer::singleShot(200, s.get(), [&] { s->Cancel(); });
    EXPECT_EQ(MessageOf<EAbortError>([&] { s->ReadLn(); }), "Socket readln aborted");
    ticker.stop();
    EXPECT_GE(ticks, 5);
    s->Disconnect();

    // Level 4 reports only the sends and closes; level 1 replies go through too.
    std::vector<std::string> trace;
    s->ReportLevel = 4;
    s->OnStatus = [&](QObject*, const std::string& text) { trace.push_back(text); };
    s->Connect();
    s->Transaction("PING");
    s->Disconnect();
    EXPECT_EQ(trace, (std::vector<std::string>{"Sending Buffer", "200 PING\r\n", "Request Close Socket"}));
    EXPECT_EQ(s->LastStatus, "Request Close Socket");

    s->OnStatus = nullptr;  // the trace goes before the component, which reports its destruction
}

TEST(SockEvents, OrderOfAConnectMadeAtOnceAndOfDestruction) {
    LoopbackServer server(Echo);
    std::vector<std::string> trace;
    auto s = SockTo(server.Port(), 1000);
    s->ReportLevel = 8;
    s->OnStatus = [&](QObject*, const std::string& text) { trace.push_back(text); };
    s->OnConnect = [&](QObject*) { trace.push_back("OnConnect"); };
    s->Connect();  // on loopback the connection is made at once
    auto at = [&](const std::string& what) { return std::find(trace.begin(), trace.end(), what) - trace.begin(); };
    EXPECT_LT(at("Timer On"), at("OnConnect"));
    EXPECT_LT(at("OnConnect"), at("Timer Off"));
    s->Disconnect();

    // Destroying: "Destroy", the abort of the class being destroyed, two cancels, and nothing
    // more; the handler always sees the whole object.
    for (bool http : {false, true}) {
        trace.clear();
        QObject* object = http ? new TKesHTTP : new TKesSock;
        auto* sock = static_cast<TKesSock*>(object);
        sock->ReportLevel = 8;
        bool whole = true;
        sock->OnStatus = [&](QObject* sender, const std::string& text) {
            trace.push_back(text);
            if (http) whole = whole && dynamic_cast<TKesHTTP*>(sender) != nullptr;
        };
        delete sock;
        EXPECT_TRUE(whole);
        if (http)
            EXPECT_EQ(trace, (std::vector<std::string>{"Destroy", "Canceling", "Canceling"}));
        else
            EXPECT_EQ(trace, (std::vector<std::string>{"Destroy", "Abort", "Canceling", "Canceling"}));
    }
}

TEST(SockEvents, HandlerErrorsReachTheApplicationAndErrorsCarryTheirNumber) {
    std::vector<std::string> errors;
    auto old = ui::SetExceptionHandler([&](const std::string& m) { errors.push_back(m); });
    LoopbackServer server([](Conn& c) {
        c.Send("data\r\n");
        c.WaitClosed();
    });
    auto s = SockTo(server.Port());
    s->OnDataReady = [](QObject*) { throw Exception("data handler failed"); };
    s->Connect();
    EXPECT_TRUE(PumpUntil([&] { return !errors.empty(); }));
    EXPECT_EQ(errors, std::vector<std::string>{"data handler failed"});
    // A failing status handler does not disturb the read it reports on.
    s->ReportLevel = 8;
    s->OnStatus = [](QObject*, const std::string&) { throw Exception("status handler failed"); };
    EXPECT_EQ(s->ReadLn(), "data\r\n");
    EXPECT_GE(errors.size(), 3u);
    EXPECT_EQ(errors[1], "status handler failed");
    s->OnStatus = nullptr;
    s->Disconnect();
    ui::SetExceptionHandler(old);

    nettest::RefusedPort refused;
    auto r = SockTo(refused.Port());
    try {
        r->Connect();
        ADD_FAILURE() << "connected to a refusing port";
    } catch (const ESockError& e) {
        EXPECT_EQ(e.ErrorNo(), 10061);
    }
    nettest::UnansweredPort silent;
    auto t = SockTo(silent.Port(), 100);
    try {
        t->Connect();
        ADD_FAILURE() << "connected to a silent port";
    } catch (const ESockError& e) {
        EXPECT_EQ(e.ErrorNo(), SockErrTimedOut);
    }
}

// The component destroyed by a handler inside each kind of wait: the operation ends with an
// abort and touches nothing of it (run under the sanitizers).
TEST(SockReentry, DestroyedFromAHandlerInsideItsOwnWait) {
    LoopbackServer server([](Conn& c) {
        c.WaitClosed();  // silent: every read waits
    });
    nettest::UnansweredPort unanswered;
    enum Wait { Read, Capture, Connecting, Send };
    for (Wait wait : {Read, Capture, Connecting, Send}) {
        QPointer<TKesSock> s = SockTo(wait == Connecting ? unanswered.Port() : server.Port(), 0).release();
        if (wait != Connecting) s->Connect();
        QTimer::singleShot(50, [&] { delete s.data(); });
        try {
            switch (wait) {
            case Read:
                s->ReadLn();
                break;
            case Capture: {
                std::string text;
                s->CaptureString(text);
                break;
            }
            case Connecting:
                s->Connect();
                break;
            case Send:
                s->Write(std::string(64 << 20, 's'));  // more than the socket takes
                break;
            }
            ADD_FAILURE() << "wait " << wait << " returned";
        } catch (const EAbortError& e) {
            EXPECT_EQ(e.ErrorNo(), SockErrInterrupted);
        } catch (const ESockError& e) {
            EXPECT_EQ(wait, Connecting) << e.Message();
        }
        EXPECT_TRUE(s.isNull());
    }
}

// The packet handlers of a send and a capture destroy the component: the transfer ends with
// EAbortError and touches nothing of it afterwards (run under the sanitizers).
TEST(SockReentry, DestroyedFromAPacketHandler) {
    LoopbackServer server([](Conn& c) {
        c.Send(std::string(4096, 'r'));
        c.WaitClosed();
    });
    testsupport::TempDir dir;
    testsupport::WriteFileBytes(dir.file("send.dat"), std::string(100000, 'f'));
    for (bool sending : {true, false}) {
        QPointer<TKesSock> s = SockTo(server.Port(), 0).release();
        s->Connect();
        auto destroy = [&](QObject*) { delete s.data(); };
        (sending ? s->OnPacketSent : s->OnPacketRecvd) = destroy;
        std::string text;
        try {
            sending ? s->SendFile(dir.file("send.dat")) : s->CaptureString(text);
            ADD_FAILURE() << (sending ? "send" : "capture") << " returned";
        } catch (const EAbortError& e) {
            EXPECT_EQ(e.ErrorNo(), SockErrInterrupted);
        }
        EXPECT_TRUE(s.isNull());
    }
}
