#pragma once

#include "peer_process.h"
#include "line_state.h"
#include "pty_line.h"
#include "recorder.h"
#include "sim_clock.h"
#include "sim_options.h"
#include "line_state.h"
#include "tool_journal.h"
#include "xmodem_receiver.h"

#include <deque>
#include <optional>
#include <random>
#include <signal.h>
#include <string>

// Number of the termination signal received, 0 while none; set by main's handler.
extern volatile sig_atomic_t gStopSignal;
// Set by main's SIGUSR1 handler: a reset from outside.
extern volatile sig_atomic_t gResetSignal;

// Recognises the boot loader's update request "AT#UpdateFW\r" + 00 00,
// also when it is split across chunks.
class RequestMatcher {
public:
    // Offset just past the request when these bytes complete it, else npos.
    size_t feed(const std::string& bytes);
    void reset() { tail_.clear(); }

private:
    std::string tail_;
};

// The version string an application image carries: the text after
// "TESSIK-VERSION:" up to the first NUL, CR or LF; "unknown" without it.
std::string versionInImage(const std::string& image);

// The module: application, boot loader and its XMODEM receiver (or an
// external peer), all driven by one poll loop on the pty master.
class Simulator : public XmodemHost {
public:
    Simulator(const Options& options, PtyLine& line, Recorder& recorder, ToolJournal& journal, TimePoint start);

    // waitMask: signal mask during poll (termination and SIGCHLD unblocked);
    // childMask: mask handed to the peer process.
    int run(const sigset_t& waitMask, const sigset_t& childMask);

    void sendToTool(const std::string& bytes, TimePoint now) override;
    void recordEvent(const std::string& name) override;
    void transferEnded(TransferEnd end) override;
    void faultInjected(const FaultEvent& fault) override;

private:
    enum class Phase { App, Rebooting, BootWaiting, Receiving, Peer, Stopped, Lingering, StartingApp, Finished };
    struct Chunk {
        std::string bytes;
        unsigned baud;
        TimePoint due;
    };
    struct Pending {
        std::string bytes;
        TimePoint due;
    };
    // A byte on the line with --strict-line, until its line time ends.
    struct InFlight {
        char byte;
        unsigned baud;
        TimePoint end;
    };

    void step(TimePoint now);
    void waitForActivity(const sigset_t& waitMask);
    std::optional<TimePoint> nextDeadline(TimePoint now) const;

    void readFromTool(TimePoint now);
    bool strictLine() const { return !opt_.strictLine.empty(); }
    void watchLine(TimePoint now);
    void watchResetLine();
    void resetFromOutside(const char* by);
    void placeOnLine(const std::string& bytes, TimePoint written);
    void garbleCutOff(TimePoint changed, unsigned rate);
    void flushToTool(TimePoint now);
    void shareLatencyTimer();
    Duration adapterTimer() const;
    TimePoint adapterRelease() const;
    void passAdapterTimer(TimePoint now);
    void deliverDue(TimePoint now);
    void deliver(const Chunk& chunk);
    void applicationInput(const Chunk& chunk);
    void deadApplicationInput(const Chunk& chunk);
    void wrongRateInput(const Chunk& chunk);
    std::string randomBytes(bool notOk);
    void applicationText(const std::string& bytes, TimePoint now);
    bool answerCommand(size_t before, TimePoint now);
    void bootNewApplication();
    void bootLoaderInput(const Chunk& chunk);
    void runTimers(TimePoint now);

    void enterBootLoader();
    void startTransfer(TimePoint now);
    void startPeer();
    bool readFromPeer(TimePoint now);
    void writeToPeer();
    void checkPeerExit(TimePoint now);
    bool writeOutFile();
    void recordResult(const std::string& end, bool outWritten);
    void abandonTransfer(const std::string& why);
    void linger(int exitCode);
    void finish(int exitCode);

    const Options& opt_;
    PtyLine& line_;
    Recorder& rec_;
    ToolJournal& journal_;
    const sigset_t* childMask_ = nullptr;
    Phase phase_ = Phase::App;
    int exitCode_ = 0;
    TimePoint maxUntil_;
    TimePoint rxClock_;
    TimePoint txClock_;
    std::deque<Chunk> rxQueue_;
    std::deque<InFlight> inFlight_;
    TimePoint lineFree_;                        // free from the start: the journal places every byte
    std::string unplaced_;                      // read, not yet in the journal
    std::deque<JournalRecord> journalRecords_;  // read, waiting for their bytes
    unsigned toolRate_ = 0;
    std::deque<Pending> txQueue_;
    std::string toToolBuffer_;
    std::string adapterHeld_;                   // --adapter-latency-ms: arrived, not yet passed on
    TimePoint adapterLastArrival_;
    TimePoint adapterLastPacket_;               // the adapter's timer counts from here
    LineStateReader lineState_;
    std::string appText_;
    std::string heldForBootLoader_;
    std::string wrongRateText_;
    unsigned wrongRateBaud_ = 0;
    RequestMatcher request_;
    bool resetScheduled_ = false;
    std::optional<TimePoint> resetAt_;
    TimePoint rebootAt_;
    TimePoint appStartAt_;                      // StartingApp: when the new application runs
    TimePoint lingerUntil_;
    int lingerExitCode_ = 0;
    std::optional<XmodemReceiver> receiver_;
    bool resultRecorded_ = false;
    unsigned transfers_ = 0;
    PeerProcess peer_;
    std::string toPeerBuffer_;
    std::mt19937 random_;
    std::string version_;
    bool deadAfterUpdate_ = false;
    std::optional<TimePoint> leaveAt_;
    LineStateReader resetLineState_;
    bool resetHeld_ = false;
};
