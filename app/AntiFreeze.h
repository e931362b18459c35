#pragma once
// Keeps the main window alive while the echo request or the FTP session waits
// on its peer. The internet layer calls PumpMessages between its short waits;
// this object repaints the window there, bounds the whole exchange, and lets a
// close request abandon it. Main thread only.

#include "net/NetIOHandlerSocket.h"

#include <QObject>

#include <chrono>
#include <string>

class TWindowAntiFreeze : public TNetAntiFreezeBase {
public:
    TWindowAntiFreeze();
    ~TWindowAntiFreeze() override;
    TWindowAntiFreeze(const TWindowAntiFreeze&) = delete;
    TWindowAntiFreeze& operator=(const TWindowAntiFreeze&) = delete;

    // Runs pending paint, window-system and posted events, a close request
    // included. Keyboard and mouse input given meanwhile is dropped and timer
    // ticks wait until the request ends, so no handler of the window runs
    // inside another. Raises ENetException when the running request is past
    // its limit or was abandoned.
    void PumpMessages() override;

    // One request to a peer: its overall limit and the peer's description
    // for the time-out message ("the address echo service").
    class TRequest {
    public:
        TRequest(TWindowAntiFreeze& owner, int limitMs, std::string peer);
        ~TRequest();
        TRequest(const TRequest&) = delete;
        TRequest& operator=(const TRequest&) = delete;

    private:
        TWindowAntiFreeze& m_owner;
        // The request this one runs inside, if any, restored at the end.
        bool m_outerBusy;
        int m_outerLimitMs;
        std::string m_outerPeer;
        std::chrono::steady_clock::time_point m_outerDeadline;
    };

    // True while a request waits on its peer.
    bool Busy() const { return m_busy; }
    // The waiting request, and every later one, gives up at its next pump
    // (the program is closing).
    void Abandon() { m_abandoned = true; }
    bool Abandoned() const override { return m_abandoned; }

private:
    // Drops user input to every window of the program while a request waits.
    class TInputFilter : public QObject {
    public:
        explicit TInputFilter(TWindowAntiFreeze& owner) : m_owner(owner) {}

    protected:
        bool eventFilter(QObject* watched, QEvent* event) override;

    private:
        TWindowAntiFreeze& m_owner;
    };

    TInputFilter m_inputFilter {*this};
    bool m_busy = false;
    bool m_abandoned = false;
    int m_limitMs = 0;
    std::string m_peer;
    std::chrono::steady_clock::time_point m_deadline;
};

// Limits of the two kinds of request, in milliseconds. The echo answer is a
// few hundred bytes; an FTP server gets FtpReply for the connect, for each
// reply and for the data connection, and the whole session (connect to QUIT)
// is bounded too. Tests may shorten them on the window's copy.
struct TRequestLimits {
    int Echo = 15000;
    int FtpReply = 30000;
    int FtpSession = 120000;
    // The clean-up session after a failed store (deleting the temporary
    // file) runs on a budget of its own: the failure may have used up the
    // session's.
    int FtpCleanUp = 15000;
};
