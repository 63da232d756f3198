#include "simulator.h"

#include "line_rate.h"
#include "sha256.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

volatile sig_atomic_t gStopSignal = 0;
volatile sig_atomic_t gResetSignal = 0;

namespace {

const unsigned kBootLoaderBaud = 115200;
const std::string kUpdateRequest("AT#UpdateFW\r\0\0", 14);
const std::string kOkTrigger = "+++";
const std::string kRebootCommand = "AT+Reboot\r";
const Duration kRebootDelay = std::chrono::milliseconds(300);
const Duration kLinger = std::chrono::seconds(1);
const Duration kMaxPollWait = std::chrono::seconds(1);
// How often --strict-line looks at the tool's journal while bytes wait for it.
const Duration kLineWatch = std::chrono::milliseconds(1);
// A real UART would overrun long before; this only bounds memory when the
// tool stops reading.
const size_t kMaxPendingToTool = 64 * 1024;
// An FTDI chip's packet to the host: 2 status bytes and 62 of data.
const size_t kAdapterPacketBytes = 62;

struct timespec toTimespec(Duration d)
{
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    if (ns < 0)
        ns = 0;
    return { static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000) };
}

void keepEarliest(std::optional<TimePoint>& earliest, TimePoint candidate)
{
    if (!earliest || candidate < *earliest)
        earliest = candidate;
}

} // namespace

size_t RequestMatcher::feed(const std::string& bytes)
{
    for (size_t i = 0; i < bytes.size(); ++i) {
        tail_.push_back(bytes[i]);
        if (tail_.size() > kUpdateRequest.size())
            tail_.erase(0, 1);
        if (tail_ == kUpdateRequest) {
            tail_.clear();
            return i + 1;
        }
    }
    return std::string::npos;
}

std::string versionInImage(const std::string& image)
{
    const std::string marker = "TESSIK-VERSION:";
    size_t at = image.find(marker);
    if (at == std::string::npos)
        return "unknown";
    at += marker.size();
    size_t end = image.find_first_of(std::string("\0\r\n", 3), at);
    return image.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

Simulator::Simulator(const Options& options, PtyLine& line, Recorder& recorder, ToolJournal& journal,
                     TimePoint start)
    : opt_(options), line_(line), rec_(recorder), journal_(journal), maxUntil_(start + seconds(options.maxSeconds)),
      rxClock_(start), txClock_(start), adapterLastPacket_(start), random_(options.seed), version_(options.appVersion)
{
}

int Simulator::run(const sigset_t& waitMask, const sigset_t& childMask)
{
    childMask_ = &childMask;
    toolRate_ = lineRate(line_.master());
    lineState_.attach(opt_.lineState, line_.slavePath());
    shareLatencyTimer();
    if (!opt_.resetLine.empty() && !opt_.lineState.empty())
        resetLineState_.attach(opt_.lineState, line_.slavePath());
    if (opt_.bootNow) {
        enterBootLoader();
        startTransfer(Clock::now());
    }
    while (phase_ != Phase::Finished) {
        step(Clock::now());
        if (phase_ == Phase::Finished)
            break;
        waitForActivity(waitMask);
        if (gStopSignal != 0) {
            rec_.event("signal", "signal", gStopSignal);
            abandonTransfer("signal");
            finish(128 + gStopSignal);
        }
    }
    peer_.stop();
    return exitCode_;
}

// Everything that is due at 'now', in order: input, timers, peer, output.
void Simulator::step(TimePoint now)
{
    lineState_.poll();
    watchLine(now);
    watchResetLine();
    deliverDue(now);
    runTimers(now);
    checkPeerExit(now);
    flushToTool(now);
}

void Simulator::waitForActivity(const sigset_t& waitMask)
{
    struct pollfd fds[3];
    nfds_t count = 0;
    int masterIndex = -1;
    int peerOutIndex = -1;
    int peerInIndex = -1;
    if (line_.isOpen()) {
        masterIndex = static_cast<int>(count);
        auto events = static_cast<short>(POLLIN | (toToolBuffer_.empty() ? 0 : POLLOUT));
        fds[count++] = { line_.master(), events, 0 };
    }
    if (peer_.stdoutFd() >= 0) {
        peerOutIndex = static_cast<int>(count);
        fds[count++] = { peer_.stdoutFd(), POLLIN, 0 };
    }
    if (peer_.stdinFd() >= 0 && !toPeerBuffer_.empty()) {
        peerInIndex = static_cast<int>(count);
        fds[count++] = { peer_.stdinFd(), POLLOUT, 0 };
    }

    TimePoint now = Clock::now();
    Duration wait = kMaxPollWait;
    if (auto deadline = nextDeadline(now))
        wait = std::min(wait, *deadline - now);
    struct timespec timeout = toTimespec(wait);
    if (ppoll(fds, count, &timeout, &waitMask) <= 0)
        return;

    now = Clock::now();
    if (masterIndex >= 0 && (fds[masterIndex].revents & POLLIN))
        readFromTool(now);
    if (peerOutIndex >= 0 && fds[peerOutIndex].revents != 0)
        readFromPeer(now);
    if (peerInIndex >= 0 && fds[peerInIndex].revents != 0)
        writeToPeer();
}

std::optional<TimePoint> Simulator::nextDeadline(TimePoint now) const
{
    std::optional<TimePoint> earliest = maxUntil_;
    if (!unplaced_.empty() || !journalRecords_.empty())
        keepEarliest(earliest, now + kLineWatch);
    if (!inFlight_.empty())
        keepEarliest(earliest, inFlight_.front().end > now ? inFlight_.front().end : now + kLineWatch);
    if (!rxQueue_.empty())
        keepEarliest(earliest, rxQueue_.front().due);
    if (!txQueue_.empty())
        keepEarliest(earliest, txQueue_.front().due);
    if (!adapterHeld_.empty())
        keepEarliest(earliest, adapterRelease());
    if (phase_ == Phase::Rebooting)
        keepEarliest(earliest, rebootAt_);
    if (phase_ == Phase::StartingApp)
        keepEarliest(earliest, appStartAt_);
    if (resetAt_)
        keepEarliest(earliest, *resetAt_);
    if (resetLineState_.attached())
        keepEarliest(earliest, now + kLineWatch);
    if (leaveAt_)
        keepEarliest(earliest, *leaveAt_);
    if (phase_ == Phase::Lingering)
        keepEarliest(earliest, lingerUntil_);
    if (receiver_ && phase_ == Phase::Receiving) {
        if (auto deadline = receiver_->deadline())
            keepEarliest(earliest, *deadline);
    }
    return earliest;
}

// The rate is read right after the bytes, so they are attributed to the rate
// the tool had set when they were sent (as long as it did not change it since).
// With --strict-line the tool's journal says that instead.
void Simulator::readFromTool(TimePoint now)
{
    char buffer[4096];
    ssize_t size = read(line_.master(), buffer, sizeof buffer);
    if (size <= 0)
        return;
    std::string bytes(buffer, static_cast<size_t>(size));
    if (strictLine()) {
        unplaced_ += bytes;
        return;
    }
    unsigned baud = lineRate(line_.master());
    rec_.rx(bytes, baud);
    TimePoint due = now;
    if (opt_.pace) {
        rxClock_ = std::max(rxClock_, now) + wireTime(bytes.size(), baud);
        due = rxClock_;
    }
    rxQueue_.push_back({ bytes, baud, due });
}

// --strict-line: the bytes go on the line as the tool's journal says, in its
// order and at its times, each holding it for 10 bit times; what this process
// reads, and when, only tells that they have arrived. A byte reaches the
// module once its line time has ended before 'now' was taken, with no rate
// change in the journal before that end: the tool appends each change to the
// journal before making it, so a change not read yet came later than 'now'.
void Simulator::watchLine(TimePoint now)
{
    if (!strictLine())
        return;
    if (!line_.isOpen()) {
        inFlight_.clear();
        unplaced_.clear();
        return;
    }
    journal_.readNew(journalRecords_);
    while (!journalRecords_.empty()) {
        const JournalRecord& record = journalRecords_.front();
        if (record.kind == JournalRecord::Kind::Rate) {
            garbleCutOff(record.at, static_cast<unsigned>(record.value));
            toolRate_ = static_cast<unsigned>(record.value);
        } else if (unplaced_.size() >= record.value) {
            placeOnLine(unplaced_.substr(0, record.value), record.at);
            unplaced_.erase(0, record.value);
        } else {
            break; // written, not read yet
        }
        journalRecords_.pop_front();
    }
    const TimePoint settled = journalRecords_.empty() ? now : std::min(now, journalRecords_.front().at);
    while (!inFlight_.empty() && inFlight_.front().end <= settled) {
        Chunk chunk { {}, inFlight_.front().baud, inFlight_.front().end };
        while (!inFlight_.empty() && inFlight_.front().end <= settled && inFlight_.front().baud == chunk.baud) {
            chunk.bytes.push_back(inFlight_.front().byte);
            chunk.due = inFlight_.front().end;
            inFlight_.pop_front();
        }
        rec_.rx(chunk.bytes, chunk.baud);
        rxQueue_.push_back(std::move(chunk));
    }
}

void Simulator::placeOnLine(const std::string& bytes, TimePoint written)
{
    TimePoint end = std::max(lineFree_, written);
    for (char byte : bytes) {
        end += wireTime(1, toolRate_);
        inFlight_.push_back({ byte, toolRate_, end });
    }
    lineFree_ = end;
}

// A rate change under a byte still on the line leaves the module a
// different byte (a real UART sees a framing error or garbage).
void Simulator::garbleCutOff(TimePoint changed, unsigned rate)
{
    long count = 0;
    unsigned from = 0;
    for (InFlight& b : inFlight_) {
        if (b.end <= changed || b.baud == rate)
            continue;
        b.byte = static_cast<char>(b.byte ^ (1 + random_() % 255));
        from = b.baud;
        ++count;
    }
    if (count > 0)
        rec_.event("garbled", JsonFields().add("bytes", count).add("baud", from).add("new_baud", rate));
}

void Simulator::sendToTool(const std::string& bytes, TimePoint now)
{
    TimePoint due = now;
    if (opt_.pace && line_.isOpen()) {
        txClock_ = std::max(txClock_, now) + wireTime(bytes.size(), lineRate(line_.master()));
        due = txClock_;
    }
    txQueue_.push_back({ bytes, due });
}

// The adapter's latency timer as the tool's open finds it, where the line
// shim keeps it for the pty (it makes it 1 while ASYNC_LOW_LATENCY is set).
void Simulator::shareLatencyTimer()
{
    const std::string prefix = "/dev/pts/";
    if (opt_.lineState.empty() || opt_.adapterLatencyMs <= 0 || line_.slavePath().rfind(prefix, 0) != 0)
        return;
    std::string dir = opt_.lineState + "/sys/bus/usb-serial/devices/" + line_.slavePath().substr(prefix.size());
    for (size_t at = opt_.lineState.size() + 1; at != std::string::npos; at = dir.find('/', at + 1))
        mkdir(dir.substr(0, at).c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    if (FILE* timer = std::fopen((dir + "/latency_timer").c_str(), "w")) {
        std::fprintf(timer, "%.0f\n", opt_.adapterLatencyMs);
        std::fclose(timer);
    }
}

// The adapter's latency timer: its own value, 1 ms while the tool has
// ASYNC_LOW_LATENCY set, as the driver does.
Duration Simulator::adapterTimer() const
{
    const double ms = lineState_.current().lowLatency ? 1.0 : opt_.adapterLatencyMs;
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double, std::milli>(ms));
}

// When what the adapter holds now goes to the tool. An FTDI chip sends the
// host a packet when 62 bytes wait, or when its timer runs out; the timer
// counts from the last packet it sent, data or status only, so an idle
// adapter sends one each period and a byte waits for the rest of the
// current one. The hold model waits a whole period after the last byte.
TimePoint Simulator::adapterRelease() const
{
    if (opt_.adapterHoldModel)
        return adapterLastArrival_ + adapterTimer();
    return adapterLastPacket_ + adapterTimer();
}

void Simulator::passAdapterTimer(TimePoint now)
{
    if (opt_.adapterHoldModel)
        return;
    const Duration period = adapterTimer();
    if (now < adapterLastPacket_ + period)
        return;
    adapterLastPacket_ += period * ((now - adapterLastPacket_) / period);
    toToolBuffer_ += adapterHeld_;
    adapterHeld_.clear();
}

void Simulator::flushToTool(TimePoint now)
{
    const bool held = opt_.adapterLatencyMs > 0;
    while (!txQueue_.empty() && txQueue_.front().due <= now) {
        if (held) {
            const TimePoint arrival = txQueue_.front().due;
            passAdapterTimer(arrival);
            adapterHeld_ += txQueue_.front().bytes;
            adapterLastArrival_ = arrival;
            while (!opt_.adapterHoldModel && adapterHeld_.size() >= kAdapterPacketBytes) {
                toToolBuffer_ += adapterHeld_.substr(0, kAdapterPacketBytes);
                adapterHeld_.erase(0, kAdapterPacketBytes);
                adapterLastPacket_ = arrival;
            }
        } else {
            toToolBuffer_ += txQueue_.front().bytes;
        }
        txQueue_.pop_front();
    }
    if (held)
        passAdapterTimer(now);
    if (!adapterHeld_.empty() && now >= adapterRelease()) {
        toToolBuffer_ += adapterHeld_;
        adapterHeld_.clear();
    }
    if (toToolBuffer_.size() > kMaxPendingToTool)
        toToolBuffer_.resize(kMaxPendingToTool);
    if (toToolBuffer_.empty() || !line_.isOpen())
        return;
    ssize_t written = write(line_.master(), toToolBuffer_.data(), toToolBuffer_.size());
    if (written <= 0)
        return;
    rec_.tx(toToolBuffer_.substr(0, static_cast<size_t>(written)));
    toToolBuffer_.erase(0, static_cast<size_t>(written));
}

void Simulator::deliverDue(TimePoint now)
{
    while (!rxQueue_.empty() && rxQueue_.front().due <= now && phase_ != Phase::Finished) {
        Chunk chunk = std::move(rxQueue_.front());
        rxQueue_.pop_front();
        deliver(chunk);
    }
}

void Simulator::deliver(const Chunk& chunk)
{
    switch (phase_) {
    case Phase::App:
        applicationInput(chunk);
        break;
    case Phase::BootWaiting:
        bootLoaderInput(chunk);
        break;
    case Phase::Receiving:
        if (chunk.baud == kBootLoaderBaud)
            receiver_->feed(chunk.bytes, chunk.due);
        break;
    case Phase::Peer:
        if (chunk.baud == kBootLoaderBaud && peer_.stdinFd() >= 0) {
            toPeerBuffer_ += chunk.bytes;
            writeToPeer();
        }
        break;
    case Phase::Rebooting:
        // The module sees bytes only when it reads them, which on a busy
        // machine can be long after the tool wrote them: bytes at the boot
        // loader's rate read during the reboot are kept for the boot loader
        // rather than lost to this process's own lateness.
        if (chunk.baud == kBootLoaderBaud)
            heldForBootLoader_ += chunk.bytes;
        break;
    default:
        break; // stopped or about to exit: deaf
    }
}

void Simulator::applicationInput(const Chunk& chunk)
{
    if (deadAfterUpdate_)
        return;
    if (opt_.appBaud == 0) {
        deadApplicationInput(chunk);
        return;
    }
    if (chunk.baud == opt_.appBaud) {
        wrongRateText_.clear();
        applicationText(chunk.bytes, chunk.due);
        return;
    }
    if (opt_.noise)
        sendToTool(randomBytes(false), chunk.due);
    if (opt_.wrongRateGarbage)
        wrongRateInput(chunk);
}

// "+++" sent at a wrong rate still gets an answer: garbage.
void Simulator::wrongRateInput(const Chunk& chunk)
{
    if (chunk.baud != wrongRateBaud_) {
        wrongRateText_.clear();
        wrongRateBaud_ = chunk.baud;
    }
    wrongRateText_ += chunk.bytes;
    for (size_t at = wrongRateText_.find(kOkTrigger); at != std::string::npos; at = wrongRateText_.find(kOkTrigger)) {
        sendToTool(randomBytes(true), chunk.due);
        wrongRateText_.erase(0, at + kOkTrigger.size());
    }
    if (wrongRateText_.size() >= kOkTrigger.size())
        wrongRateText_.erase(0, wrongRateText_.size() - (kOkTrigger.size() - 1));
}

// 1-4 random bytes; notOk: none of them 'O' or 'K', so they never read as an OK.
std::string Simulator::randomBytes(bool notOk)
{
    std::string bytes(std::uniform_int_distribution<int>(1, 4)(random_), '\0');
    for (char& c : bytes) {
        do
            c = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(random_));
        while (notOk && (c == 'O' || c == 'K'));
    }
    return bytes;
}

// A dead application answers nothing; the operator's reset is timed from the
// first update request seen at the boot loader's rate.
void Simulator::deadApplicationInput(const Chunk& chunk)
{
    if (opt_.resetAfter < 0 || resetScheduled_ || chunk.baud != kBootLoaderBaud)
        return;
    if (request_.feed(chunk.bytes) == std::string::npos)
        return;
    resetScheduled_ = true;
    resetAt_ = chunk.due + seconds(opt_.resetAfter);
}

void Simulator::applicationText(const std::string& bytes, TimePoint now)
{
    appText_ += bytes;
    for (;;) {
        size_t ok = appText_.find(kOkTrigger);
        size_t reboot = appText_.find(kRebootCommand);
        if (answerCommand(std::min(ok, reboot), now))
            continue;
        if (ok == std::string::npos && reboot == std::string::npos)
            break;
        if (reboot < ok) {
            phase_ = Phase::Rebooting;
            rebootAt_ = now + kRebootDelay;
            appText_.clear();
            return;
        }
        sendToTool(opt_.okReply, now);
        appText_.erase(0, ok + kOkTrigger.size());
    }
    // Keep just enough to complete a command split across chunks.
    size_t keep = std::max({ kRebootCommand.size(), opt_.idCommand.size(), opt_.versionCommand.size() });
    if (appText_.size() > keep)
        appText_.erase(0, appText_.size() - keep);
}

// The identity or the version command, if one comes before the offset
// 'before'; true when one was answered.
bool Simulator::answerCommand(size_t before, TimePoint now)
{
    size_t id = opt_.idCommand.empty() ? std::string::npos : appText_.find(opt_.idCommand);
    size_t version = opt_.versionCommand.empty() ? std::string::npos : appText_.find(opt_.versionCommand);
    if (std::min(id, version) == std::string::npos || std::min(id, version) > before)
        return false;
    if (id < version) {
        sendToTool(opt_.idReply, now);
        appText_.erase(0, id + opt_.idCommand.size());
    } else {
        sendToTool("\r\n" + version_ + "\r\nOK\r\n", now);
        appText_.erase(0, version + opt_.versionCommand.size());
    }
    return true;
}

// After a complete transfer the module starts what it received.
void Simulator::bootNewApplication()
{
    version_ = versionInImage(receiver_->data());
    deadAfterUpdate_ = opt_.afterUpdate == Options::AfterUpdate::Dead;
    phase_ = Phase::App;
    appText_.clear();
    leaveAt_ = Clock::now() + seconds(opt_.afterUpdateSeconds);
    rec_.event(deadAfterUpdate_ ? "app_dead" : "app_started");
}

void Simulator::bootLoaderInput(const Chunk& chunk)
{
    if (chunk.baud != kBootLoaderBaud)
        return;
    size_t end = request_.feed(chunk.bytes);
    if (end == std::string::npos)
        return;
    startTransfer(chunk.due);
    if (end < chunk.bytes.size())
        deliver({ chunk.bytes.substr(end), chunk.baud, chunk.due });
}

void Simulator::runTimers(TimePoint now)
{
    if (now >= maxUntil_) {
        rec_.event("timeout");
        abandonTransfer("timeout");
        finish(1);
        return;
    }
    if (phase_ == Phase::Rebooting && now >= rebootAt_)
        enterBootLoader();
    if (phase_ == Phase::StartingApp && now >= appStartAt_)
        bootNewApplication();
    if (resetAt_ && now >= *resetAt_) {
        resetAt_.reset();
        if (phase_ == Phase::App)
            enterBootLoader();
    }
    if (phase_ == Phase::Receiving)
        receiver_->tick(now);
    if (phase_ == Phase::Lingering && now >= lingerUntil_)
        finish(lingerExitCode_);
    if (leaveAt_ && now >= *leaveAt_ && phase_ == Phase::App)
        finish(0);
}

// The tool's changes of the reset line: a reset held and then released
// restarts a dead application into the boot loader. SIGUSR1 does the same.
void Simulator::watchResetLine()
{
    if (gResetSignal != 0) {
        gResetSignal = 0;
        resetFromOutside("signal");
    }
    if (!resetLineState_.attached())
        return;
    for (const LineLevels& levels : resetLineState_.poll()) {
        const bool asserted = opt_.resetLine == "rts" ? levels.rts : levels.dtr;
        const bool held = asserted == opt_.resetActiveHigh;
        if (held && !resetHeld_)
            rec_.event("reset_held");
        if (!held && resetHeld_)
            resetFromOutside("line");
        resetHeld_ = held;
    }
}

void Simulator::resetFromOutside(const char* by)
{
    rec_.event("reset", JsonFields().add("by", by));
    // A dead application's module restarts into its boot loader, also from the boot loader.
    if (opt_.appBaud == 0 && (phase_ == Phase::App || phase_ == Phase::BootWaiting || phase_ == Phase::Receiving))
        enterBootLoader();
}

void Simulator::enterBootLoader()
{
    phase_ = Phase::BootWaiting;
    request_.reset();
    appText_.clear();
    rec_.event("boot");
    if (!heldForBootLoader_.empty())
        bootLoaderInput({ std::exchange(heldForBootLoader_, std::string()), kBootLoaderBaud, rebootAt_ });
}

void Simulator::startTransfer(TimePoint now)
{
    rec_.event("xmodem");
    if (!opt_.peerCommand.empty()) {
        startPeer();
        return;
    }
    phase_ = Phase::Receiving;
    ReceiverSettings settings;
    settings.checksum = opt_.checksum;
    if (opt_.faultyTransfers < 0 || transfers_ < opt_.faultyTransfers)
        settings.faults = opt_.faults;
    settings.random = opt_.randomFaults;
    settings.random.seed += transfers_++; // a transfer started over meets other faults
    settings.startRepeat = seconds(opt_.startRepeat);
    settings.blockWrite = seconds(opt_.blockWrite);
    settings.firstBlockWrite = seconds(opt_.firstBlockWrite < 0 ? opt_.blockWrite : opt_.firstBlockWrite);
    settings.duplicateAnswer = seconds(opt_.duplicateAnswer);
    if (opt_.rxGiveUp >= 0)
        settings.giveUp = seconds(opt_.rxGiveUp);
    resultRecorded_ = false;
    receiver_.emplace(*this, settings);
    receiver_->start(now);
}

void Simulator::recordEvent(const std::string& name)
{
    rec_.event(name);
}

void Simulator::transferEnded(TransferEnd end)
{
    // The record then shows the receiver's last words before the result
    // (unless --pace still holds them back).
    flushToTool(Clock::now());
    switch (end) {
    case TransferEnd::Complete: {
        bool written = writeOutFile();
        rec_.event("done", "bytes", static_cast<long long>(receiver_->data().size()));
        recordResult("complete", written);
        if (opt_.afterUpdate == Options::AfterUpdate::Exit) {
            linger(0);
        } else if (opt_.afterUpdateReboot > 0) {
            phase_ = Phase::StartingApp; // deaf until the new application runs
            appStartAt_ = Clock::now() + seconds(opt_.afterUpdateReboot);
        } else {
            bootNewApplication();
        }
        break;
    }
    case TransferEnd::Vanish:
        rec_.event("vanish");
        recordResult("vanish", false);
        inFlight_.clear();
        unplaced_.clear();
        line_.close();
        line_.removeLink();
        finish(3);
        break;
    case TransferEnd::SentCan:
        rec_.event("can");
        recordResult("can", false);
        phase_ = Phase::Stopped;
        break;
    case TransferEnd::GaveUp:
        rec_.event("rx_gave_up");
        recordResult("rx_gave_up", false);
        phase_ = Phase::Stopped;
        break;
    case TransferEnd::ToolCancelled:
        // Back to waiting for an update request, so the tool may start over.
        rec_.event("tool_can");
        recordResult("tool_can", false);
        phase_ = Phase::BootWaiting;
        request_.reset();
        break;
    }
}

void Simulator::faultInjected(const FaultEvent& fault)
{
    rec_.event("fault", JsonFields()
                            .add("kind", faultName(fault.kind))
                            .add("block", fault.block)
                            .add("frame", fault.eot ? "eot" : "block"));
}

// What the receiver holds, so a test can compare it with the image it sent.
void Simulator::recordResult(const std::string& end, bool outWritten)
{
    resultRecorded_ = true;
    const std::string& data = receiver_->data();
    std::string trimmed = data.substr(0, data.find_last_not_of('\x1a') + 1);
    std::string faults = "{";
    for (size_t kind = 0; kind < kFaultKinds; ++kind) {
        auto k = static_cast<FaultKind>(kind);
        faults += (kind ? ",\"" : "\"") + std::string(faultName(k)) + "\":" + std::to_string(receiver_->faultCount(k));
    }
    faults += "}";
    rec_.event("result", JsonFields()
                             .add("end", end)
                             .add("complete", receiver_->complete())
                             .add("out_written", outWritten)
                             .add("blocks", receiver_->blocks())
                             .add("bytes", static_cast<long long>(data.size()))
                             .add("sha256", sha256Hex(data))
                             .add("sha256_trimmed", sha256Hex(trimmed))
                             .add("fault_count", receiver_->faultCount())
                             .addRaw("faults", faults));
}

// The simulator stops in the middle of a transfer.
void Simulator::abandonTransfer(const std::string& why)
{
    if (receiver_ && phase_ == Phase::Receiving && !resultRecorded_)
        recordResult(why, false);
}

bool Simulator::writeOutFile()
{
    if (opt_.out.empty())
        return false;
    const std::string& data = receiver_->data();
    std::FILE* file = std::fopen(opt_.out.c_str(), "wb");
    bool ok = file && std::fwrite(data.data(), 1, data.size(), file) == data.size();
    if (file && std::fclose(file) != 0)
        ok = false;
    if (!ok)
        std::fprintf(stderr, "tessik-module-sim: cannot write %s\n", opt_.out.c_str());
    return ok;
}

void Simulator::startPeer()
{
    std::string error;
    if (!peer_.start(opt_.peerCommand, *childMask_, error)) {
        std::fprintf(stderr, "tessik-module-sim: cannot start peer: %s\n", error.c_str());
        rec_.event("peer_exit", "status", 127);
        linger(127);
        return;
    }
    phase_ = Phase::Peer;
}

// True when bytes were passed on; closes the pipe at its end.
bool Simulator::readFromPeer(TimePoint now)
{
    char buffer[4096];
    ssize_t size = read(peer_.stdoutFd(), buffer, sizeof buffer);
    if (size > 0) {
        sendToTool(std::string(buffer, static_cast<size_t>(size)), now);
        return true;
    }
    if (size == 0 || errno != EAGAIN)
        peer_.closeStdout();
    return false;
}

void Simulator::writeToPeer()
{
    if (peer_.stdinFd() < 0 || toPeerBuffer_.empty())
        return;
    ssize_t written = write(peer_.stdinFd(), toPeerBuffer_.data(), toPeerBuffer_.size());
    if (written > 0) {
        toPeerBuffer_.erase(0, static_cast<size_t>(written));
    } else if (errno != EAGAIN) {
        toPeerBuffer_.clear();
        peer_.closeStdin();
    }
}

void Simulator::checkPeerExit(TimePoint now)
{
    if (phase_ != Phase::Peer)
        return;
    std::optional<int> status = peer_.reap();
    if (!status)
        return;
    while (peer_.stdoutFd() >= 0 && readFromPeer(now)) {
        // pass on its last words
    }
    peer_.closeStdout();
    peer_.closeStdin();
    flushToTool(now);
    rec_.event("peer_exit", "status", *status);
    linger(*status);
}

void Simulator::linger(int exitCode)
{
    phase_ = Phase::Lingering;
    lingerExitCode_ = exitCode;
    lingerUntil_ = Clock::now() + kLinger;
}

void Simulator::finish(int exitCode)
{
    phase_ = Phase::Finished;
    exitCode_ = exitCode;
}
